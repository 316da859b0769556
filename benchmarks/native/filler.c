/* One of many small shared objects loaded to lengthen the loader's list. */
int filler_symbol(void) { return 1; }
