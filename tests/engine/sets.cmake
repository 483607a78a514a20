# Tests of the set lists, set files and code page.
quarvel_add_test(tst_codepage SOURCES tst_codepage.cpp LIBS quarvel_engine LABELS "engine;unit")
quarvel_add_test(tst_sets_lists SOURCES tst_sets_lists.cpp LIBS quarvel_engine LABELS "engine;unit")
quarvel_add_test(tst_sets_tab SOURCES tst_sets_tab.cpp LIBS quarvel_engine LABELS "engine;unit")
quarvel_add_test(tst_sets_files SOURCES tst_sets_files.cpp LIBS quarvel_engine LABELS "engine;unit")
# The sample set files live in tests/data/sets.
target_compile_definitions(tst_sets_files PRIVATE QUARVEL_TEST_DATA_DIR="${PROJECT_SOURCE_DIR}/tests/data")
quarvel_add_test(tst_sets_fuzz SOURCES tst_sets_fuzz.cpp LIBS quarvel_engine LABELS "engine;unit")
