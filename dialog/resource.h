// Resource identifiers of the configuration dialog, shared by the resource script and the code.
// Plain macros, since the resource compiler reads this file too.
#pragma once

#define IDD_CONFIG 101

#define IDC_WAIT_TEXT 1001
#define IDC_INPUTS 1002
#define IDC_INPUTS_SPIN 1003
#define IDC_OUTPUTS 1004
#define IDC_OUTPUTS_SPIN 1005
#define IDC_SLAVE 1006
#define IDC_SLAVE_SPIN 1007
#define IDC_STEREO_PINS 1008
