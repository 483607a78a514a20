# Sources of the set lists, set files and code page.
target_sources(quarvel_engine PRIVATE CodePage.h)
