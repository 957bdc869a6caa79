// The commands that change an existing baseline one file at a time, or
// refresh all of it: add ("-a"), delete ("-d"), update one ("-u PATH") and
// update all ("-u --all"). Each holds the baseline lock from load to save.
// Single-file commands write the file's reference slot first and save only
// when that succeeded (undoing the slot when the save fails); update-all
// saves first and then rewrites the four slots.
#pragma once

int zotrust_add(const char* path);
int zotrust_del(const char* path);
// nullptr updates every file of the path list.
int zotrust_upd(const char* path);
