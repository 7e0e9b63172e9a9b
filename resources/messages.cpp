#include "resources/messages.h"

namespace resources {
namespace {

struct Message {
    int id;
    const char* text;
};

constexpr Message kCatalogue[] = {
    {103, "Pellmoor"},
    {104, "200 %s Ready To Authenticate\r\n"},
    {105, "Halcrest WMI Event Listener (v%s build %s)"},
    {106, "5.5"},
    {107,
     "Copyright (c) Halcrest. All rights reserved. Monitor only hosts you are "
     "authorised to watch.\r\n\r\n"},
    {108, "Failed to open the config file\r\n"},
    {109, "Using Config File: %s\r\n"},
    {110, "OK already logged in\r\n"},
    {111, "ERROR invalid command - %s\r\n"},
    {112, "ERROR please login first\r\n"},
    {113, "OK authentication successful (users=%i)\r\n"},
    {114, "ERROR unable to verify authentication information, please try again\r\n"},
    {115, "OK queuing subscription for %s %s %s\r\n"},
    {116, "ERROR insufficient/incorrect parameters\r\n"},
    {117, "OK replaying events for requested time period\r\n"},
    {118, "OK logging off\r\n"},
    {119, ".\r\n"},
    {120, "OK noop\r\n"},
    {121, "ERROR: %s %s %s - %s\r\n"},
    {122, "Unknown Error From WMI\r\n"},
    {123, "NTEVENT: %s %s %s %s %s %s %s\r\n.\r\n"},
    {124, "OK queued deletion of subscription for %i host(s)\r\n"},
    {125, "ERROR no matching subscription found\r\n"},
    {126,
     "OK Help. following commands are available:\r\n"
     "1. ADD <hostname> <category> <severity> [ <username> <password> ] - to add a new host\r\n"
     "\tseverity levels are:\r\n"
     "\t\t1 - Error\r\n"
     " \t\t2 - Warning\r\n"
     "\t\t3 - Information\r\n"
     "\t\t4 - Security audit success\r\n"
     "\t\t5 - Security audit failure\r\n"
     "2. Replay <hostname> <category> <severity> <timefrom> <timeto> [ <username> <password> ] "
     "- to replay events from a host\r\n"
     "3. DELETE <hostname> [category] - to delete a host\r\n"
     "4. LIST - to list the configured/added hosts with configurations\r\n"
     "5. NOOP - no operation, just a ping\r\n"
     "6. LOGOUT - to log out of the server\r\n"
     "7. LOGLEVEL [trace|debug|info|warn|error|fatal]\r\n"
     "8. STATS - to show each subscription's counts, lag and last error\r\n"
     ".\r\n"},
    {127, "CONNECTION_FAILED  %s %s %s %s - %s\r\n"},
    {128, "CONNECTION_REESTAB %s %s %s %s\r\n"},
    {129, "CONNECTION_OK %s %s %s\r\n"},
    {130, "Tarnwick Event Monitor"},
    {131, "1"},
    {132, "0"},
    {133, "ERROR subscription for %s %s %s already exists\r\n"},
    {134, "Max user count reached (%i)"},
    {135, "ERROR Invalid host for %s %s %s\r\n"},
    {136, "OK Deleted Host %s %s %s \r\n"},
    {137, "REPLAY_FINISHED %s %s %s %s %s\r\n"},
    {138, "OK %s\r\n"},
};

constexpr int kFirstId = 103;
constexpr int kCount = static_cast<int>(sizeof(kCatalogue) / sizeof(kCatalogue[0]));

constexpr bool IsDense() {
    for (int i = 0; i < kCount; ++i) {
        if (kCatalogue[i].id != kFirstId + i) return false;
    }
    return true;
}
// The table is dense and ordered, so an id indexes it directly.
static_assert(IsDense());

}  // namespace

const char* FindMessage(int id) {
    if (id < kFirstId || id >= kFirstId + kCount) return nullptr;
    return kCatalogue[id - kFirstId].text;
}

}  // namespace resources
