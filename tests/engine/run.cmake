# Tests of the replacement run and its log.
quarvel_add_test(tst_replace SOURCES tst_replace.cpp LIBS quarvel_engine LABELS "engine;unit")
quarvel_add_test(tst_run SOURCES tst_run.cpp LIBS quarvel_engine LABELS "engine;db" COST 25)
quarvel_add_test(tst_preview SOURCES tst_preview.cpp LIBS quarvel_engine LABELS "engine;db")
quarvel_add_test(tst_previewtext SOURCES tst_previewtext.cpp LIBS quarvel_engine LABELS "engine;unit")
quarvel_add_test(tst_changediff SOURCES tst_changediff.cpp LIBS quarvel_engine LABELS "engine;unit")
# tst_undo writes a journal as an earlier version did, with SQLite itself.
find_package(SQLite3 REQUIRED)
quarvel_add_test(tst_undo SOURCES tst_undo.cpp LIBS quarvel_engine SQLite::SQLite3 LABELS "engine;db" COST 15)
quarvel_add_test(tst_pushdown SOURCES tst_pushdown.cpp LIBS quarvel_engine LABELS "engine;db" COST 75)
# Needs the second server of scripts/pgcluster (pgcluster_start_remote).
quarvel_add_test(tst_shards SOURCES tst_shards.cpp LIBS quarvel_engine LABELS "engine;db" COST 20)
