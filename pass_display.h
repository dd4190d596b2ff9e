// Progress on stderr, when it is a terminal: the name of the pass at work and how much of it
// is done, in place, at most four times a second, and cleared when the pass ends and before
// anything is written on stdout (which may be the same terminal). Nothing for a pass that
// ends within a quarter of a second; nothing on stdout.
#ifndef PASS_DISPLAY_H
#define PASS_DISPLAY_H

// The display of `pass` at `fraction` of its work: 0 starts it, 1 ends and clears it.
void show_pass(const char *pass, double fraction);

// Clears the display, if one is shown.
void clear_pass_display();

// Clears the display before the dialogue shows its own "line N" progress on stdout; on the
// same terminal the display is then not shown again during this pass.
void before_stdout_progress();

#endif
