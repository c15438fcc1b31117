// The configuration dialog shown while a plug-in instance is created: edits the slave number,
// the pin counts and the stereo labels, and closes by itself once the slave answers the connect.
#pragma once

class CTolvane;

// [main thread] Runs the dialog modally for `owner`. True when it ended with OK (the slave
// answered); false for Cancel and when the dialog cannot be created, in which case nothing has
// been edited. Never blocks forever when no window can be shown.
bool runConfigDialog(CTolvane& owner);
