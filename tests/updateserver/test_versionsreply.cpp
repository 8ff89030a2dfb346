#include "UpdateMessage.pb.h"
#include "versionsreply.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using com::kelvarion::update::Channel;
using com::kelvarion::update::Versions;

void addChannel(Versions* versions, const std::string& name, int number, const std::string& text)
{
    Channel* channel = versions->add_channels();
    channel->set_name(name);
    channel->set_version_number(number);
    channel->set_version_string(text);
}

int parse(const std::string& bytes, VersionsInfo* out)
{
    return parseVersionsReply(bytes.data(), static_cast<int>(bytes.size()), out);
}

} // namespace

TEST(VersionsReply, NullDataIsNotParsed)
{
    VersionsInfo info;
    info.licenseAgreementId = 7;
    EXPECT_EQ(parseVersionsReply(nullptr, 0, &info), VERSIONS_REPLY_NO_DATA);
    EXPECT_EQ(info.licenseAgreementId, 7);
}

TEST(VersionsReply, EmptyBodyMissesTheLicenseField)
{
    VersionsInfo info;
    EXPECT_EQ(parse(std::string(), &info), VERSIONS_REPLY_INVALID);
    EXPECT_TRUE(info.channelNames.empty());
}

TEST(VersionsReply, LicenseWithoutChannelsIsAValidReply)
{
    Versions versions;
    versions.set_licenseagreementid(3);
    VersionsInfo info;
    ASSERT_EQ(parse(versions.SerializeAsString(), &info), VERSIONS_REPLY_OK);
    EXPECT_EQ(info.licenseAgreementId, 3);
    EXPECT_TRUE(info.channelNames.empty());
    EXPECT_TRUE(info.channels.empty());
}

TEST(VersionsReply, ChannelsKeepTheOrderOfTheReply)
{
    Versions versions;
    versions.set_licenseagreementid(1);
    addChannel(&versions, "stable", 100, "1.0");
    addChannel(&versions, "beta", 110, "1.1 beta");
    addChannel(&versions, "alpha", -1, "");
    VersionsInfo info;
    ASSERT_EQ(parse(versions.SerializeAsString(), &info), VERSIONS_REPLY_OK);
    EXPECT_EQ(info.channelNames, (std::vector<std::string> {"stable", "beta", "alpha"}));
    EXPECT_EQ(info.channels.at("stable").version_number, 100);
    EXPECT_EQ(info.channels.at("beta").version_string, "1.1 beta");
    EXPECT_EQ(info.channels.at("alpha").version_number, -1);
}

TEST(VersionsReply, RepeatedNameKeepsTheFirstValues)
{
    Versions versions;
    versions.set_licenseagreementid(1);
    addChannel(&versions, "beta", 5, "first");
    addChannel(&versions, "beta", 6, "second");
    VersionsInfo info;
    ASSERT_EQ(parse(versions.SerializeAsString(), &info), VERSIONS_REPLY_OK);
    EXPECT_EQ(info.channelNames, (std::vector<std::string> {"beta", "beta"}));
    ASSERT_EQ(info.channels.size(), 1u);
    EXPECT_EQ(info.channels.at("beta").version_number, 5);
    EXPECT_EQ(info.channels.at("beta").version_string, "first");
}

TEST(VersionsReply, ChannelWithoutVersionStringRejectsTheWholeReply)
{
    Versions versions;
    versions.set_licenseagreementid(1);
    addChannel(&versions, "stable", 100, "1.0");
    Channel* incomplete = versions.add_channels();
    incomplete->set_name("beta");
    incomplete->set_version_number(5);
    VersionsInfo info;
    EXPECT_EQ(parse(versions.SerializePartialAsString(), &info), VERSIONS_REPLY_INVALID);
    EXPECT_TRUE(info.channelNames.empty());
    EXPECT_TRUE(info.channels.empty());
}

TEST(VersionsReply, GarbageBytesAreRejected)
{
    const std::string garbage("\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01", 11);
    VersionsInfo info;
    EXPECT_EQ(parse(garbage, &info), VERSIONS_REPLY_INVALID);
    EXPECT_EQ(parse("not a protobuf message at all", &info), VERSIONS_REPLY_INVALID);
}

TEST(VersionsReply, TruncatedReplyIsRejected)
{
    Versions versions;
    versions.set_licenseagreementid(1);
    addChannel(&versions, "stable", 100, "release 1.0");
    const std::string bytes = versions.SerializeAsString();
    VersionsInfo info;
    // The first two bytes are the license field alone, a complete reply; any
    // cut inside the channel must fail.
    EXPECT_EQ(parse(bytes.substr(0, 1), &info), VERSIONS_REPLY_INVALID);
    for (size_t length = 3; length < bytes.size(); ++length)
        EXPECT_NE(parse(bytes.substr(0, length), &info), VERSIONS_REPLY_OK) << "length " << length;
}

TEST(VersionsReply, UnknownFieldsAreSkipped)
{
    Versions versions;
    versions.set_licenseagreementid(9);
    addChannel(&versions, "stable", 100, "1.0");
    // Field 15, varint 1: not in the schema.
    const std::string bytes = versions.SerializeAsString() + std::string("\x78\x01", 2);
    VersionsInfo info;
    ASSERT_EQ(parse(bytes, &info), VERSIONS_REPLY_OK);
    EXPECT_EQ(info.licenseAgreementId, 9);
    EXPECT_EQ(info.channels.at("stable").version_number, 100);
}

TEST(VersionsReply, FillAppendsToExistingEntries)
{
    Versions versions;
    versions.set_licenseagreementid(2);
    addChannel(&versions, "stable", 200, "2.0");
    VersionsInfo info;
    info.channelNames.push_back("stable");
    info.channels["stable"] = ChannelVersion {100, "1.0"};
    fillVersionsInfo(&info, versions);
    EXPECT_EQ(info.licenseAgreementId, 2);
    EXPECT_EQ(info.channelNames.size(), 2u);
    EXPECT_EQ(info.channels.at("stable").version_number, 100);
}
