// The Linux tool's operator screen, as the process entry sees it.
#ifndef FWU_SCREEN_SCREEN_H
#define FWU_SCREEN_SCREEN_H

// Runs the screen on the terminal of standard input until the operator
// quits, a fatal error or a signal ends the process. Returns an exit status
// only when it could not start (2: standard input is no terminal).
int screen_main(void);

#endif
