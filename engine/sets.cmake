# Sources of the set lists, set files and code page.
target_sources(quarvel_engine PRIVATE
    CodePage.cpp CodePage.h
    SetLists.cpp SetLists.h
    SetFiles.cpp SetFiles.h
    SetsTab.cpp SetsTab.h
)
