#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace ovpre {

/// The six fields of one request from the FTP server.
struct SiteRequest {
  std::string Arg0;         // field 0; kept, never read
  // Field 2; 0 marks a user allowed to add groups. Nothing when the field is
  // empty or not a decimal number that fits 16 bits: a server line that
  // lacks the level must not make every user a siteop.
  std::optional<int16_t> Access;
  std::string ReplyTag;     // field 3; names the reply file
  std::string CurrentDir;   // field 4; the caller's current folder
  std::string CommandText;  // field 5; the command as typed after "site"
  std::string UserGroup;    // field 1; the caller's group
};

/// True when the raw argument string carries a request (six or more
/// "|"-separated fields) rather than asking only for setup.
bool IsRequest(const std::string& raw);

/// Builds the request from the raw argument string.
SiteRequest ParseSiteRequest(const std::string& raw);

/// The lower-cased first space-separated word of the command text.
std::string CommandWord(const SiteRequest& request);

}  // namespace ovpre
