#include "protobufhelper.h"

#include <google/protobuf/stubs/common.h>

namespace {
// The oldest runtime whose wire format and reflection the versions messages
// were written against.
const int kMinimumProtobufLibraryVersion = 2005000;
} // namespace

void initProtobuf()
{
    google::protobuf::internal::VerifyVersion(
        GOOGLE_PROTOBUF_VERSION, kMinimumProtobufLibraryVersion, "src/protobufhelper");
}

void shutdownProtobuf()
{
    google::protobuf::ShutdownProtobufLibrary();
}
