#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

namespace plat {

namespace {

std::mutex g_profileMutex;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// One physical line of the file: its text and the line ending that followed it ("" for a last
// line without one).
struct Line {
  std::string text;
  std::string eol;
};

enum class LineKind { Blank, Comment, Section, Key };

struct Parsed {
  LineKind kind = LineKind::Blank;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // key value, trimmed
};

// The parts point into `text`, which must outlive them.
Parsed Classify(std::string_view text) {
  Parsed p;
  std::string_view t = Trim(text);
  if (t.empty()) return p;
  if (t.front() == ';') {
    p.kind = LineKind::Comment;
    return p;
  }
  if (t.front() == '[') {
    size_t close = t.rfind(']');
    if (close != std::string_view::npos) {
      p.kind = LineKind::Section;
      p.name = Trim(t.substr(1, close - 1));
      return p;
    }
    // "[name" without its bracket is an ordinary line, as the profile functions take it.
  }
  p.kind = LineKind::Key;
  size_t eq = t.find('=');
  if (eq == std::string_view::npos) {
    p.name = t;
  } else {
    p.name = Trim(t.substr(0, eq));
    p.value = Trim(t.substr(eq + 1));
  }
  return p;
}

std::vector<Line> SplitLines(const std::string& content) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t nl = content.find('\n', start);
    if (nl == std::string::npos) {
      lines.push_back({content.substr(start), ""});
      break;
    }
    size_t end = nl;
    std::string eol = "\n";
    if (end > start && content[end - 1] == '\r') {
      --end;
      eol = "\r\n";
    }
    lines.push_back({content.substr(start, end - start), eol});
    start = nl + 1;
  }
  return lines;
}

// Where a key stands in the file, as far as it is there.
struct Location {
  std::optional<size_t> section;  // line of the section header
  std::optional<size_t> key;      // line of the key within that section
  size_t lastInSection = 0;       // last non-blank line of the section (its header at least)
};

// A file saved by an editor that marks UTF-8 starts with these bytes; they name nothing.
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

Location Find(const std::vector<Line>& lines, std::string_view section, std::string_view key) {
  Location loc;
  bool inside = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view text = lines[i].text;
    if (i == 0 && text.substr(0, kUtf8Mark.size()) == kUtf8Mark) text.remove_prefix(kUtf8Mark.size());
    Parsed p = Classify(text);
    if (p.kind == LineKind::Section) {
      if (inside) break;  // the first section of that name is the one that counts
      if (SameName(p.name, section)) {
        inside = true;
        loc.section = i;
        loc.lastInSection = i;
      }
      continue;
    }
    if (!inside) continue;
    if (p.kind != LineKind::Blank) loc.lastInSection = i;
    if (p.kind == LineKind::Key && !loc.key && SameName(p.name, key)) loc.key = i;
  }
  return loc;
}

std::optional<std::string> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return s.str();
}

std::string StripQuotes(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
    v = v.substr(1, v.size() - 2);
  return std::string(v);
}

std::string Cut(std::string s, size_t bufferSize) {
  if (bufferSize == 0) return {};
  if (s.size() > bufferSize - 1) s.resize(bufferSize - 1);
  return s;
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// Whether a write of these names and value could be read back as written. A name or value
// that spans lines cannot be kept on one line of the file; a key that starts like a comment
// or a section header would be taken for one, and an "=" in it would end it early; a "]"
// closes a section header, so a section name holding one cannot stand in its header as it is.
bool CanBeWritten(std::string_view section, std::string_view key, std::string_view value) {
  const std::string_view sec = Trim(section);
  const std::string_view k = Trim(key);
  if (sec.empty() || k.empty() || HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value)) return false;
  if (k.front() == '[' || k.front() == ';' || k.find('=') != std::string_view::npos) return false;
  return sec.find(']') == std::string_view::npos;
}

// Replaces the file's contents in one step: the new text goes into a file beside it, which
// then takes the old one's place, so that a crash leaves the old or the new file, never half.
bool ReplaceFile(const std::string& path, const std::string& content) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path target = path;
  if (fs::is_symlink(target, ec)) {
    fs::path real = fs::canonical(target, ec);
    if (!ec) target = real;
  }
  static std::atomic<unsigned> counter{0};
  std::string tmp = target.string() + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(counter++);

  struct stat st {};
  bool existed = stat(target.c_str(), &st) == 0;
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  if (existed) (void)fchmod(fd, st.st_mode & 07777);
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    done += static_cast<size_t>(n);
  }
  bool ok = done == content.size();
  if (close(fd) != 0) ok = false;
  if (ok && rename(tmp.c_str(), target.c_str()) != 0) ok = false;
  if (!ok) unlink(tmp.c_str());
  return ok;
}

}  // namespace

std::string GetProfileString(const std::string& section, const std::string& key, const std::string& def,
                             const std::string& path, size_t bufferSize) {
  std::string fallback(def);
  while (!fallback.empty() && fallback.back() == ' ') fallback.pop_back();

  std::optional<std::string> content;
  {
    std::lock_guard<std::mutex> lock(g_profileMutex);
    content = ReadAll(path);
  }
  if (!content) return Cut(fallback, bufferSize);
  std::vector<Line> lines = SplitLines(*content);
  Location loc = Find(lines, Trim(section), Trim(key));
  if (!loc.key) return Cut(fallback, bufferSize);
  return Cut(StripQuotes(Classify(lines[*loc.key].text).value), bufferSize);
}

bool WriteProfileString(const std::string& section, const std::string& key, const std::string& value,
                        const std::string& path) {
  if (!CanBeWritten(section, key, value)) return false;
  std::string_view sec = Trim(section);
  std::string_view k = Trim(key);

  std::lock_guard<std::mutex> lock(g_profileMutex);
  std::string content;
  std::error_code ec;
  if (std::filesystem::exists(path, ec)) {
    std::optional<std::string> read = ReadAll(path);
    if (!read) return false;
    content = std::move(*read);
  }
  std::vector<Line> lines = SplitLines(content);
  // New lines take the file's own line ending; a new file gets the Windows one.
  std::string eol = "\r\n";
  for (const Line& l : lines)
    if (!l.eol.empty()) {
      eol = l.eol;
      break;
    }

  Location loc = Find(lines, sec, k);
  if (loc.key) {
    Line& line = lines[*loc.key];
    size_t eq = line.text.find('=');
    if (eq == std::string::npos) {
      // a key written without "=": keep its indentation, drop blanks after its name
      std::string& t = line.text;
      while (!t.empty() && IsBlank(t.back())) t.pop_back();
      t += "=" + value;
    } else {
      size_t vstart = eq + 1;
      while (vstart < line.text.size() && (line.text[vstart] == ' ' || line.text[vstart] == '\t')) ++vstart;
      line.text = line.text.substr(0, vstart) + value;
    }
  } else {
    std::string keyLine = std::string(k) + "=" + value;
    if (loc.section) {
      // the new line ends the way the line before it ends
      size_t after = loc.lastInSection;
      if (lines[after].eol.empty()) lines[after].eol = eol;
      std::string lineEol = lines[after].eol;
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(after + 1), Line{keyLine, lineEol});
    } else {
      if (!lines.empty() && lines.back().eol.empty()) lines.back().eol = eol;
      lines.push_back({"[" + std::string(sec) + "]", eol});
      lines.push_back({keyLine, eol});
    }
  }

  std::string out;
  out.reserve(content.size() + value.size() + section.size() + key.size() + 8);
  for (const Line& l : lines) {
    out += l.text;
    out += l.eol;
  }
  return ReplaceFile(path, out);
}

}  // namespace plat
