#include "versionsreply.h"

#include "UpdateMessage.pb.h"

int parseVersionsReply(const char* data, int size, VersionsInfo* out)
{
    if (data == nullptr)
        return VERSIONS_REPLY_NO_DATA;
    if (size < 0 || out == nullptr)
        return VERSIONS_REPLY_INVALID;

    // The partial parse plus our own completeness check rejects a reply that
    // misses a required field (in itself or in any channel) without the
    // runtime printing its own error line for it.
    com::kelvarion::update::Versions versions;
    if (!versions.ParsePartialFromArray(data, size) || !versions.IsInitialized())
        return VERSIONS_REPLY_INVALID;

    fillVersionsInfo(out, versions);
    return VERSIONS_REPLY_OK;
}

void fillVersionsInfo(VersionsInfo* out, const com::kelvarion::update::Versions& versions)
{
    out->licenseAgreementId = versions.licenseagreementid();
    for (const com::kelvarion::update::Channel& channel : versions.channels()) {
        out->channelNames.push_back(channel.name());
        ChannelVersion version;
        version.version_number = channel.version_number();
        version.version_string = channel.version_string();
        // emplace leaves an existing entry of the same name as it is.
        out->channels.emplace(channel.name(), version);
    }
}
