// The message catalogue: every numbered text the listener sends to clients or
// prints about its configuration and version, ids 103 to 138. A compiled-in,
// read-only table; thread-safe. Texts carry their CR, LF and TAB characters
// literally and use printf placeholders (%s, %i).
#pragma once

namespace resources {

// Text of message id, or nullptr when the catalogue has no such id.
const char* FindMessage(int id);

}  // namespace resources
