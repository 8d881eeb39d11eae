// Detaching, the signal guard and the shell commands of an update run.
#pragma once

void StartDaemon();
void signalHandlerStrong(int sig);
void signalHandlerDefault(int sig);

// The ten guarded signals get signalHandlerStrong (processor faults reboot);
// writes past the file size limit fail instead of ending the process.
void guardSignals();
void unguardSignals();

// Runs one command line through the shell to completion; its status is ignored.
void run(const char *command);
