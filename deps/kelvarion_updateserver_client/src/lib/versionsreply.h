#ifndef VERSIONSREPLY_H
#define VERSIONSREPLY_H

#include <map>
#include <string>
#include <vector>

namespace com {
namespace kelvarion {
namespace update {
class Versions;
}
} // namespace kelvarion
} // namespace com

// The release a channel offers, as the versions server names it.
struct ChannelVersion
{
    int version_number = 0;
    std::string version_string;
};

// Plain form of a versions reply, free of the message classes.
struct VersionsInfo
{
    int licenseAgreementId = 0;
    // Channel names in the order of the reply; a repeated name is listed again.
    std::vector<std::string> channelNames;
    // For a repeated name the first entry's values are kept.
    std::map<std::string, ChannelVersion> channels;
};

// Result codes of parseVersionsReply.
enum VersionsReplyStatus
{
    VERSIONS_REPLY_OK = 0,
    VERSIONS_REPLY_NO_DATA = 1,
    VERSIONS_REPLY_INVALID = 2
};

// Parses a reply body. 1 when data is null, 2 when the bytes are not a
// complete Versions message (out untouched), 0 when out has been filled.
int parseVersionsReply(const char* data, int size, VersionsInfo* out);

// Appends the message's channels to out, keeping entries already there.
void fillVersionsInfo(VersionsInfo* out, const com::kelvarion::update::Versions& versions);

#endif
