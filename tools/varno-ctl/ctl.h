// varno-ctl: the operator's companion to the agent. Each command family lives in its own
// file; a command answers the process exit code (0 done, 1 failed, 2 usage, 3 the job
// was stopped, 4 the job completed but something in it failed).
#pragma once

constexpr int CTL_OK = 0;
constexpr int CTL_FAILED = 1;
constexpr int CTL_USAGE = 2;
constexpr int CTL_STOPPED = 3;
constexpr int CTL_PARTIAL = 4;

// Why a job was not posted: the mailslot's agent runs as another user, and neither side
// takes the other's jobs.
constexpr char kOtherUsersAgent[] =
    "the agent on the job mailslot runs as another user; jobs go only to an agent of the "
    "poster's own user";

// argv[0] is the command word.
int ctl_post(int argc, char** argv);
int ctl_run(int argc, char** argv);
int ctl_status(int argc, char** argv);
int ctl_stop(int argc, char** argv);
int ctl_volumes(int argc, char** argv);
int ctl_token(int argc, char** argv);
int ctl_kbs(int argc, char** argv);
int ctl_schedule(int argc, char** argv);
int ctl_queue(int argc, char** argv);
int ctl_hosts(int argc, char** argv);

// Prints "<what> is not available in this build" and answers CTL_FAILED.
int ctl_not_available(const char* what);
