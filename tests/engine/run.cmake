# Tests of the replacement run and its log.
