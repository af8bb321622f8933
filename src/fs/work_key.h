#pragma once
#include <cstdint>
#include <string>

#include "platform/file_system.h"

namespace ovpre {

/// The secret that tells this program's work folders and marks from
/// anything a user made: a user may create entries at any name the
/// program uses, and on Windows under the very account the program runs
/// as, but cannot compute a hash keyed with a secret the user never sees.
/// 16 bytes; empty when there is none, and then nothing found is trusted.
using WorkKey = std::string;

/// 32 hexadecimal digits from the system's random source, the text kept in
/// the key file; "" when the system gives no random bytes.
std::string NewWorkKeyText();

/// The key that `text` (as NewWorkKeyText makes it) holds; empty when the
/// text is not such a key.
WorkKey WorkKeyFromText(const std::string& text);

/// SipHash-2-4 of `data` under the 16-byte `key`: a hash nobody can
/// forge or predict without the key.
uint64_t KeyedHash(const WorkKey& key, const std::string& data);

/// `id` as bytes, to be hashed with what it identifies.
std::string IdBytes(const FileId& id);

}  // namespace ovpre
