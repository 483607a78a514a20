# Sources of the replacement run and its log.
target_sources(quarvel_engine PRIVATE
    Replace.cpp Replace.h
    ReplacementLog.cpp ReplacementLog.h
    ReplaceRun.cpp ReplaceRun.h
    RunRequest.cpp RunRequest.h
    RunReport.cpp RunReport.h
    RunRecord.cpp RunRecord.h
)
# The preview of a run: the same walk, on a read-only session, storing and logging nothing.
target_sources(quarvel_engine PRIVATE Preview.cpp Preview.h ChangeDiff.cpp ChangeDiff.h)
# The journal of stored changes and the undo built on it.
find_package(SQLite3 REQUIRED)
target_sources(quarvel_engine PRIVATE Journal.cpp Journal.h Undo.cpp Undo.h)
target_link_libraries(quarvel_engine PRIVATE SQLite::SQLite3)

# The server-side run of the command line, with the record walk for what it cannot do exactly.
target_sources(quarvel_engine PRIVATE
    PushdownRun.cpp PushdownRun.h
    ServerTable.cpp ServerTable.h
    BatchScheduler.cpp BatchScheduler.h
    BatchFinisher.cpp BatchFinisher.h
    LockingStore.cpp LockingStore.h
)
