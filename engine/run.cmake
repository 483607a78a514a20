# Sources of the replacement run and its log.
target_sources(quarvel_engine PRIVATE
    Replace.cpp Replace.h
    ReplacementLog.cpp ReplacementLog.h
    ReplaceRun.cpp ReplaceRun.h
)
