// Files that replace earlier ones only once complete: each is written under a temporary name
// beside its final one (created exclusively, never through a link) and renamed over it at
// the end. Every temporary is recorded, so that a failure or an interrupting signal can
// remove them all and leave the earlier files byte for byte as they were.
#ifndef RESULT_FILES_H
#define RESULT_FILES_H

#include <string>

// Where `path` leads: the path itself, or the file its symbolic links name in the end (a
// result name that is a link is written where the link leads, and the link stays).
std::string link_target(const std::string &path);

// Creates a new temporary file beside `target` (".<name>.<pid>-<n>.part" in its folder) and
// records it. Returns its descriptor and its slot, or -1 with errno set.
int create_temporary_beside(const std::string &target, int &slot);

// The path of the temporary file of a slot.
const char *temporary_path(int slot);

// Renames the temporary file of `slot` over `target`; false with errno set when that fails.
bool put_in_place(int slot, const std::string &target);

// Removes every recorded temporary file that is not in place yet (async-signal-safe).
void remove_temporaries();

// Holds back the interrupting signals (SIGINT, SIGTERM, SIGHUP), or lets them through again.
void hold_interrupting_signals(bool hold);

// From now on an interrupting signal removes the temporaries, calls `also` (which must be
// async-signal-safe), says on stderr "<program>: interrupted (SIGINT); no result was
// written, earlier results are left as they were", and ends the process as the signal
// would have; a signal that the caller ignores (as nohup does SIGHUP) stays ignored. A
// closed pipe (SIGPIPE) and a file-size limit (SIGXFSZ) become failed writes instead.
void handle_interrupting_signals(const char *program, void (*also)());

#endif
