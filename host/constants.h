// The installer's named constants. Each source unit that includes this header builds its
// own copy before main runs, so no unit depends on another's initialisation order.
#pragma once

#include <string>

namespace bi {

static const std::string PATH_SEPARATOR = "/";
static const std::string RELEASE_TAG = "V0917k";
static const std::string PLATFORM_TAG = "xarc64";
static const std::string INSTALL_AGENT_ZIP = "InstallAgent.zip";
static const std::string INSTALL_AGENT_DIR_NAME = "installagent";
// Relative to the home directory; ends with a separator so a name can be appended.
static const std::string INSTALL_AGENT_CACHE_PATH = ".tolvar" + PATH_SEPARATOR + "app_installer_cache" +
                                                    PATH_SEPARATOR + RELEASE_TAG + PATH_SEPARATOR + PLATFORM_TAG +
                                                    PATH_SEPARATOR;
static const std::string VALIDATION_STRING_FILE = ".validatestring";
// Beside the tag file: where the cached agent came from and how it was verified.
static const std::string AGENT_RECORD_FILE = ".agentrecord";
// An archive being downloaded, or left by a run that ended before it was used, and its record.
static const std::string PARTIAL_ARCHIVE_FILE = ".download";
static const std::string PARTIAL_RECORD_FILE = ".download.record";
// The archive the cached agent came from, kept as the base of its update, and its record.
static const std::string KEPT_ARCHIVE_FILE = ".agentarchive";
static const std::string KEPT_RECORD_FILE = ".agentarchive.record";
// A new archive an update assembles from the kept one and the ranges it fetched.
static const std::string UPDATE_ARCHIVE_FILE = ".update";
// In the bundle's resource directory: the vendor's key that every install agent must be signed with.
static const std::string INSTALL_AGENT_KEY_FILE = "installAgentKey.pub";
// In the bundle's resource directory: the floor, the signing time no accepted agent is older than.
static const std::string INSTALL_AGENT_FLOOR_FILE = "installAgentFloor.txt";
// In the bundle's resource directory: the URL the archive is downloaded from, on its first line.
static const std::string INSTALL_AGENT_URL_FILE = "installAgentURL.txt";
static const std::string PRODUCT_ARCHIVE_FILE = "bundle.zip";

}  // namespace bi
