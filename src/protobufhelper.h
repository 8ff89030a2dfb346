#ifndef PROTOBUFHELPER_H
#define PROTOBUFHELPER_H

// Ends the process with the runtime's own fatal message when the protocol
// buffer library linked at run time is too old for the generated classes.
// Call first thing in main.
void initProtobuf();

// Frees the runtime's descriptors and default instances. Call once, at the
// very end of main; no message may be used afterwards.
void shutdownProtobuf();

#endif
