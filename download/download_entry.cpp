#include "download/download_entry.h"

// The download window is not built yet: without a shipped archive there is no agent to be had.
bool downloadInstallAgentFromQV(const char* /*destination*/, const char* /*url*/, ReportMessageCallback /*callback*/) {
    return false;
}
