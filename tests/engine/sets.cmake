# Tests of the set lists, set files and code page.
