# Sources of the replacement run and its log.
target_sources(quarvel_engine PRIVATE)
