// Files that replace earlier ones only once complete, as one set. Each file is written under
// a temporary name beside its final one (created exclusively, never through a link, and
// written only through the descriptor it was created with) and the whole set is renamed over
// the final names at the end, all or nothing: each earlier file is kept aside until every
// new one is in place, and put back if one cannot be. Every temporary is recorded, so that
// a failure or an interrupting signal can remove them all and leave the earlier files byte
// for byte as they were.
#ifndef RESULT_FILES_H
#define RESULT_FILES_H

#include <string>
#include <vector>

// Where `path` leads: the path itself, or the file its symbolic links name in the end (a
// result name that is a link is written where the link leads, and the link stays).
std::string link_target(const std::string &path);

// Decides, before any work, whether a new file can take the name `target` (links already
// followed): its folder takes a new file and, when a file has that name, that file can be
// kept aside and replaced (it is not immutable or append-only, and a sticky folder lets
// this user rename over it). Removes the hidden temporaries of this name that runs which
// no longer exist left behind. 0, or the errno value that says why not.
int check_replaceable(const std::string &target);

// Creates a new temporary file beside `target`, open for reading and writing, with the
// permission bits and group of the file `target` names when there is one (and the run may
// set them), and records it. Its name is ".<name>.<pid>-<n>.part", with <name> shortened
// and tagged with a hash when that would be longer than a file name may be. Returns its
// descriptor and its slot, or -1 with errno set.
int create_temporary_beside(const std::string &target, int &slot);

// Creates a new file beside `target` that has no name yet (so that nothing shows in the
// folder while it is written, and nothing stays if the process dies), open for reading and
// writing, with the permission bits and group that create_temporary_beside gives; where the
// file system cannot, a named temporary (slot >= 0) as create_temporary_beside makes.
// Returns its descriptor, or -1 with errno set; slot is -1 for a file without a name.
int create_unnamed_beside(const std::string &target, int &slot);

// Gives a file from create_unnamed_beside its temporary name beside `target` and records it
// (a named one keeps its name and slot). False with errno set when that fails.
bool name_temporary(int fd, const std::string &target, int &slot);

// Removes every recorded temporary file that is not in place (async-signal-safe).
void remove_temporaries();

// One file of a set: the slot of its temporary and its final name (links followed).
struct SetMember {
    int slot;
    std::string target;
};

// Why a set could not be put in place: the member, the errno value, and whether the name
// was found to hold another file than the one written (a link renamed over the temporary),
// which was then removed.
struct SetFailure {
    int member = -1;
    int error = 0;
    bool displaced = false;
};

// Puts every member's temporary in place over its final name, in order, as one set, with
// the interrupting signals held back and an exclusive lock on each folder (so that two runs
// writing the same names replace each other's sets whole). Each earlier file is kept aside
// as a hard link until the last rename; after each rename the name must hold the very file
// that was written. On any failure every name gets back what it held before (a new name is
// removed) and false is returned. A signal that arrives meanwhile ends the process once the
// set is in place, saying so.
bool put_set_in_place(const std::vector<SetMember> &set, SetFailure &failure);

// Holds back the interrupting signals (SIGINT, SIGTERM, SIGHUP), or lets them through again.
void hold_interrupting_signals(bool hold);

// From now on an interrupting signal removes the temporaries, calls `also` (which must be
// async-signal-safe), says on stderr what is in place ("<program>: interrupted (SIGINT); no
// result was written, earlier results are left as they were", or, once a set was put in
// place, that every new result is complete), and ends the process as the signal would have;
// a signal that the caller ignores (as nohup does SIGHUP) stays ignored. A closed pipe
// (SIGPIPE) and a file-size limit (SIGXFSZ) become failed writes instead.
void handle_interrupting_signals(const char *program, void (*also)());

#endif
