// Identifiers shared by the dialog template (res/fwu.rc) and the window
// procedure. Plain #defines only: the resource compiler reads this file too.
#ifndef FWU_DIALOG_CONTROLS_H
#define FWU_DIALOG_CONTROLS_H

#define IDC_PORT_LIST 3  // combo box with the port names
#define IDC_UPDATE    4  // the "Update Device" push button
#define IDC_STATUS    5  // read-only field that shows the status text

#endif
