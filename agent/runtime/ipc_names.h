// Names of the objects the agent shares with the desktop client and varno-ctl: the job
// mailslot, the progress board and the terminate event. The agent creates and owns all
// three. VARNO_IPC_NAMESPACE, when set, is appended to every name so that tests running
// side by side on one machine do not meet; production leaves it unset.
#pragma once

#include <string>

constexpr char JOB_MAILSLOT_NAME[] = "\\\\.\\mailslot\\Varno\\Varno Backup\\Backup Job Mailslot";
constexpr char PROGRESS_BOARD_NAME[] = "Global\\Varno/Varno Backup/Backup Progress Information";
constexpr char TERMINATE_EVENT_NAME[] = "Global\\Varno/Varno Backup/Terminate Backup Event";

// `name` followed by the value of VARNO_IPC_NAMESPACE (nothing when unset).
std::string ipc_object_name(const char* name);
