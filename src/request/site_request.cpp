#include "request/site_request.h"

#include "text/fields.h"
#include "text/text.h"

namespace ovpre {

namespace {

constexpr char kFieldDelimiter = '|';

std::optional<int16_t> ParseAccess(const std::string& field) {
  return RoundDecimalToInt16(TrimSpaces(field));
}

}  // namespace

bool IsRequest(const std::string& raw) {
  return CountFields(raw, kFieldDelimiter) >= 6;
}

SiteRequest ParseSiteRequest(const std::string& raw) {
  SiteRequest request;
  request.Arg0 = GetField(raw, kFieldDelimiter, 0);
  request.UserGroup = GetField(raw, kFieldDelimiter, 1);
  request.Access = ParseAccess(GetField(raw, kFieldDelimiter, 2));
  request.ReplyTag = GetField(raw, kFieldDelimiter, 3);
  request.CurrentDir = GetField(raw, kFieldDelimiter, 4);
  request.CommandText = GetField(raw, kFieldDelimiter, 5);
  return request;
}

std::string CommandWord(const SiteRequest& request) {
  return LowerAscii(GetField(request.CommandText, ' ', 0));
}

}  // namespace ovpre
