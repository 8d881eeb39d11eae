// Detaching, the signal guard and the shell commands of an update run.
#ifndef QN_UPDATER_DAEMON_H
#define QN_UPDATER_DAEMON_H

// StartDaemon and the two handlers keep their established names.
void StartDaemon();
void signalHandlerStrong(int sig);
void signalHandlerDefault(int sig);

// The ten guarded signals get signalHandlerStrong (processor faults reboot);
// writes past the file size limit fail instead of ending the process.
void guard_signals();
void unguard_signals();

// Runs one command line through the shell to completion; its status is ignored.
void run(const char *command);

#endif
