// The Linux tool's operator screen, as the process entry sees it.
#ifndef FWU_SCREEN_SCREEN_H
#define FWU_SCREEN_SCREEN_H

#include "image/image_choice.h"

// Runs the screen on the terminal of standard input, writing the image
// choice names, until the operator quits, a fatal error or a signal ends
// the process. Returns an exit status only when it could not start (2: the
// image is refused, said on standard error before the terminal is touched,
// or standard input is no terminal). The bundled sample, refused without
// --allow-sample, opens the screen with nothing to write.
int screen_main(const ImageChoice *choice);

#endif
