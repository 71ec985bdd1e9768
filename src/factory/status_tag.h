#pragma once
// What an archive builder hands back: the full path of the archive it built (or "PASS" where
// it packs nothing), a failure tag (upper case, ending in "_FAIL" or holding "FAIL"), or
// neither when no archive was there at the end. Success and failure are carried apart from the
// text, so that a work folder whose path holds "FAIL" is a path like any other; the text is
// what the logs show ("gen factory.tar failed :" + text, "StatusTag : %s").
#include <string>
#include <utility>

namespace station {

struct StatusTag {
  enum class Kind { Built, Failed, NoArchive };
  Kind kind = Kind::NoArchive;
  std::string text;

  static StatusTag Path(std::string path) { return {Kind::Built, std::move(path)}; }
  static StatusTag Fail(std::string tag) { return {Kind::Failed, std::move(tag)}; }
  static StatusTag None() { return {}; }

  bool Built() const { return kind == Kind::Built; }
  bool Failed() const { return kind == Kind::Failed; }
  // No archive path came back (and no failure was told).
  bool Empty() const { return kind == Kind::NoArchive; }
};

}  // namespace station
