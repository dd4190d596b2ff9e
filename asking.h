// The tool's questions and answers on the console: every question goes through these
// helpers. Each shows its question (after whatever the dialogue printed before it), makes
// sure it reached stdout and reads one word of the answer. End of input at any question, or
// a stdout that cannot be written, ends the run (a RunFailure).
#ifndef ASKING_H
#define ASKING_H

#include <climits>
#include <cstddef>

// Characters a 128-character path buffer holds.
const int path_room = 127;

// Writes dialogue text on stdout and makes sure it got there.
void show(const char *text);

// Ends the run when stdout cannot be written (a closed pipe, a full disk).
void check_dialogue_written();

// A whole number from lowest to highest; any other answer, or one that is not a number, is
// discarded and the question (a whole menu, for a menu) shown again. `what` names the
// question in messages.
int ask_number(const char *question, const char *what, int lowest = INT_MIN, int highest = INT_MAX);

// A count of lines or columns: at least 1.
int ask_count(const char *question, const char *what);

// A finite real number.
double ask_real(const char *question, const char *what);

// One word into dest, to be appended to a path that already holds `prefix` characters and
// will take a suffix of at most `suffix`: a word that would make the path longer than a path
// buffer holds, or that holds a NUL byte, is refused and the question asked again.
void ask_name(const char *question, const char *what, char *dest, size_t prefix, size_t suffix);

// The one key that ends a run whose DEM raster is missing: on a terminal, raw mode without
// echo and without Enter (set again after Ctrl-Z and fg), and whatever else was typed is
// discarded, so that a line typed at the wait never reaches the shell; otherwise one byte of
// the input (end of input ends at once).
void wait_for_key();

// Puts the terminal back as the key wait found it (async-signal-safe).
void restore_terminal();

#endif
