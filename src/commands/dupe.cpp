#include <memory>

#include "commands/record_commands.h"
#include "commands/record_use.h"
#include "request/reply.h"
#include "text/text.h"

namespace ovpre {

namespace {

constexpr int kMostWords = 10;
constexpr std::size_t kLongestWord = 64;
constexpr std::size_t kShortestWord = 3;  // the index looks for three characters
constexpr int kMostRows = 10;

/// The number of characters of UTF-8 `text`: its bytes that start one.
std::size_t Characters(const std::string& text) {
  std::size_t count = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

/// The words after the command word, split at spaces.
std::vector<std::string> WordsOf(const std::string& command) {
  std::vector<std::string> words;
  std::size_t at = command.find(' ');
  while (at != std::string::npos) {
    const std::size_t next = command.find(' ', at + 1);
    std::string word = command.substr(at + 1, next == std::string::npos ? next : next - at - 1);
    if (!word.empty()) words.push_back(std::move(word));
    at = next;
  }
  return words;
}

/// "2026-12-07 16:49:21 Release Group/Section", from a recorded pre.
std::string RowLine(const RecordedPre& pre) {
  const std::string when = pre.pre_time.substr(0, 10) + " " + pre.pre_time.substr(11, 8);
  return when + " " + MaskControlChars(pre.release) + " " + MaskControlChars(pre.group) +
         (pre.section.empty() ? "" : "/" + MaskControlChars(pre.section));
}

}  // namespace

bool AreSearchWords(const std::vector<std::string>& words) {
  if (words.empty() || words.size() > kMostWords) return false;
  for (const std::string& word : words) {
    if (Characters(word) < kShortestWord || word.size() > kLongestWord) return false;
  }
  return true;
}

void RunDupe(Platform& platform, const Settings& settings, const SiteRequest& request,
             RequestRecord& log) {
  const auto reply = [&](const std::string& message) {
    log.reply = message;
    WriteReply(platform.fs, settings, request.ReplyTag, "dupe", message);
  };
  const std::vector<std::string> words = WordsOf(request.CommandText);
  std::string joined;
  for (const std::string& word : words) joined += (joined.empty() ? "" : " ") + word;
  log.name = joined;
  if (!AreSearchWords(words)) return reply("Usage: Site dupe words");
  std::string why;
  const std::unique_ptr<PreRecord> record = OpenRecord(platform, settings, &why);
  const std::optional<std::vector<RecordedPre>> rows =
      record ? record->Search(words, kMostRows, &why) : std::nullopt;
  if (!rows) {
    log.Fail("record", why);
    return reply("Error in setup, please notify a siteop.");
  }
  log.outcome = RequestOutcome::kOk;
  if (rows->empty()) return reply("Dupe: nothing matches " + MaskControlChars(joined) + ".");
  std::string lines;
  for (const RecordedPre& row : *rows) lines += (lines.empty() ? "" : kCrlf) + RowLine(row);
  reply(lines);
}

}  // namespace ovpre
