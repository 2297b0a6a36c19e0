#pragma once
// The command-line verbs: machines, dir, send, fetch, delete, serve, print-list.
#include <QString>

// Runs the verb named on the command line and returns the exit status;
// -1 when the command line names no verb (the desktop program then starts).
int RunVerbs(int argc, char** argv);

// "no machines", naming the settings file read, or saying there is none.
QString NoMachinesText();
