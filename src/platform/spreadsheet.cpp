#include "platform/spreadsheet.h"

#include <zip.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <pugixml.hpp>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace plat {

namespace {

constexpr int kMaxRows = 1048576;
constexpr int kMaxColumns = 16384;
constexpr uint64_t kMaxFileBytes = 256ull << 20;   // the workbook file itself
constexpr uint64_t kMaxPartBytes = 64ull << 20;    // one part, unpacked
constexpr uint64_t kMaxTotalBytes = 256ull << 20;  // every part read, unpacked
constexpr uint64_t kMaxBlockCells = 1u << 20;      // a used range handed out whole

// Days from 1899-12-30 (day 0 of a date variant) to 1904-01-01 (day 0 of a 1904 workbook).
constexpr double k1904Offset = 1462;

const Variant kEmpty{};

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Element and attribute names without their namespace prefix: writers differ in the prefixes
// they use for the same namespace.
std::string_view Local(const char* name) {
  std::string_view n(name);
  size_t colon = n.rfind(':');
  return colon == std::string_view::npos ? n : n.substr(colon + 1);
}

pugi::xml_node Child(pugi::xml_node parent, std::string_view local) {
  for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element && Local(c.name()) == local) return c;
  return {};
}

template <class F>
void ForChildren(pugi::xml_node parent, std::string_view local, F&& f) {
  for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element && Local(c.name()) == local) f(c);
}

// The relationship id of an element: an attribute "id" in a prefixed namespace (r:id).
std::string RelationshipId(pugi::xml_node node) {
  for (pugi::xml_attribute a = node.first_attribute(); a; a = a.next_attribute()) {
    std::string_view n(a.name());
    if (n.find(':') != std::string_view::npos && Local(a.name()) == "id") return a.value();
  }
  return {};
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

std::optional<double> ParseNumber(std::string_view s) {
  s = Trim(s);
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  double v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::optional<long> ParseInt(std::string_view s) {
  s = Trim(s);
  long v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Workbook texts write characters that XML cannot carry (a carriage return, for one) as
// "_xHHHH_"; "_x005F_" stands for the underscore that starts such a sequence.
std::string DecodeEscapes(std::string_view s) {
  if (s.find("_x") == std::string_view::npos) return std::string(s);
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    if (s[i] == '_' && i + 6 < s.size() && s[i + 1] == 'x' && s[i + 6] == '_') {
      uint32_t cp = 0;
      auto [end, ec] = std::from_chars(s.data() + i + 2, s.data() + i + 6, cp, 16);
      if (ec == std::errc() && end == s.data() + i + 6) {
        // A surrogate on its own has no UTF-8 form; such a sequence stays as it was written.
        if (cp < 0xD800 || cp > 0xDFFF) {
          AppendUtf8(out, cp);
          i += 7;
          continue;
        }
      }
    }
    out += s[i++];
  }
  return out;
}

// The text of a shared string item or an inline string: its plain text, or its rich-text runs
// joined (phonetic guides are not part of the text).
std::string StringItemText(pugi::xml_node item) {
  std::string text;
  for (pugi::xml_node c = item.first_child(); c; c = c.next_sibling()) {
    if (c.type() != pugi::node_element) continue;
    std::string_view n = Local(c.name());
    if (n == "t") {
      text += c.child_value();
    } else if (n == "r") {
      ForChildren(c, "t", [&](pugi::xml_node t) { text += t.child_value(); });
    }
  }
  return DecodeEscapes(text);
}

// "B12" -> row 12, column 2.
bool ParseCellRef(std::string_view ref, int& row, int& column) {
  size_t i = 0;
  long col = 0;
  while (i < ref.size() && ((ref[i] >= 'A' && ref[i] <= 'Z') || (ref[i] >= 'a' && ref[i] <= 'z'))) {
    col = col * 26 + (Lower(ref[i]) - 'a' + 1);
    if (col > kMaxColumns) return false;
    ++i;
  }
  if (i == 0 || i == ref.size()) return false;
  long r = 0;
  for (; i < ref.size(); ++i) {
    if (ref[i] < '0' || ref[i] > '9') return false;
    r = r * 10 + (ref[i] - '0');
    if (r > kMaxRows) return false;
  }
  if (r < 1) return false;
  row = static_cast<int>(r);
  column = static_cast<int>(col);
  return true;
}

// "2024-03-15" or "2024-03-15T08:30:00" (seconds, fraction and a trailing Z optional) as a
// date variant.
std::optional<double> ParseIsoDate(std::string_view s) {
  s = Trim(s);
  int y = 0, mo = 0, d = 0, h = 0, mi = 0;
  double sec = 0;
  auto num = [&](size_t pos, size_t len, int& out) {
    if (pos + len > s.size()) return false;
    auto [end, ec] = std::from_chars(s.data() + pos, s.data() + pos + len, out);
    return ec == std::errc() && end == s.data() + pos + len;
  };
  if (!num(0, 4, y) || s.size() < 10 || s[4] != '-' || !num(5, 2, mo) || s[7] != '-' || !num(8, 2, d))
    return std::nullopt;
  size_t pos = 10;
  if (pos < s.size() && (s[pos] == 'T' || s[pos] == ' ')) {
    if (!num(pos + 1, 2, h) || pos + 3 >= s.size() || s[pos + 3] != ':' || !num(pos + 4, 2, mi))
      return std::nullopt;
    pos += 6;
    if (pos < s.size() && s[pos] == ':') {
      size_t start = pos + 1, end = start;
      while (end < s.size() && ((s[end] >= '0' && s[end] <= '9') || s[end] == '.')) ++end;
      auto v = ParseNumber(s.substr(start, end - start));
      if (!v) return std::nullopt;
      sec = *v;
      pos = end;
    }
  }
  if (pos < s.size() && s[pos] == 'Z') ++pos;
  if (pos != s.size()) return std::nullopt;
  using namespace std::chrono;
  year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
  if (!ymd.ok() || h > 23 || mi > 59 || sec >= 60) return std::nullopt;
  const sys_days base = year{1899} / December / 30;
  double days = static_cast<double>((sys_days(ymd) - base).count());
  double frac = (h * 3600 + mi * 60 + sec) / 86400.0;
  return days >= 0 ? days + frac : days - frac;
}

// Reads parts of a zip archive held in memory.
class Archive {
 public:
  Archive(std::string_view bytes, const std::string& label) : label_(label) {
    zip_error_t err;
    zip_error_init(&err);
    zip_source_t* src = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &err);
    if (src) {
      zip_ = zip_open_from_source(src, ZIP_RDONLY, &err);
      if (!zip_) zip_source_free(src);
    }
    if (!zip_) {
      std::string why = zip_error_strerror(&err);
      zip_error_fini(&err);
      throw Failure(label_ + " is not a readable zip archive (" + why + ")");
    }
    zip_error_fini(&err);
  }
  ~Archive() {
    if (zip_) zip_discard(zip_);
  }
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;

  bool Has(const std::string& name) const { return zip_name_locate(zip_, name.c_str(), ZIP_FL_NOCASE) >= 0; }

  std::string Read(const std::string& name) {
    zip_int64_t index = zip_name_locate(zip_, name.c_str(), ZIP_FL_NOCASE);
    if (index < 0) throw Failure(label_ + ": part " + name + " is missing");
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(zip_, static_cast<zip_uint64_t>(index), 0, &st) != 0 || !(st.valid & ZIP_STAT_SIZE))
      throw Failure(label_ + ": part " + name + " cannot be read (" + zip_strerror(zip_) + ")");
    if (st.size > kMaxPartBytes || total_ + st.size > kMaxTotalBytes)
      throw Failure(label_ + ": part " + name + " is too large");
    zip_file_t* f = zip_fopen_index(zip_, static_cast<zip_uint64_t>(index), 0);
    if (!f) throw Failure(label_ + ": part " + name + " cannot be read (" + zip_strerror(zip_) + ")");
    std::string data(static_cast<size_t>(st.size), '\0');
    zip_uint64_t got = 0;
    bool ok = true;
    while (got < st.size) {
      zip_int64_t n = zip_fread(f, data.data() + got, st.size - got);
      if (n <= 0) {
        ok = false;
        break;
      }
      got += static_cast<zip_uint64_t>(n);
    }
    std::string why = ok ? std::string{} : zip_file_strerror(f);
    // Read one byte past the stated size so that a stream longer than its entry says, or a
    // checksum that only fails at the end, is seen.
    if (ok) {
      char extra;
      zip_int64_t n = zip_fread(f, &extra, 1);
      if (n != 0) {
        ok = false;
        why = n < 0 ? zip_file_strerror(f) : "longer than its entry states";
      }
    }
    int closed = zip_fclose(f);
    if (ok && closed != 0) {
      ok = false;
      zip_error_t err;
      zip_error_init_with_code(&err, closed);
      why = zip_error_strerror(&err);
      zip_error_fini(&err);
    }
    if (!ok) throw Failure(label_ + ": part " + name + " is damaged (" + why + ")");
    total_ += st.size;
    return data;
  }

 private:
  std::string label_;
  zip_t* zip_ = nullptr;
  uint64_t total_ = 0;
};

struct Relationship {
  std::string type;    // last segment of the type URI: "worksheet", "styles", ...
  std::string target;  // part name inside the archive
};

// The folder of a part: "xl/workbook.xml" -> "xl/".
std::string FolderOf(const std::string& part) {
  size_t slash = part.rfind('/');
  return slash == std::string::npos ? std::string{} : part.substr(0, slash + 1);
}

// Resolves a relationship target against the folder of its source part. Empty when the
// target climbs out of the package.
std::string ResolveTarget(const std::string& folder, std::string_view target) {
  std::string joined = (!target.empty() && target.front() == '/') ? std::string(target.substr(1))
                                                                   : folder + std::string(target);
  std::vector<std::string> segs;
  std::stringstream ss(joined);
  std::string seg;
  while (std::getline(ss, seg, '/')) {
    if (seg.empty() || seg == ".") continue;
    if (seg == "..") {
      if (segs.empty()) return {};
      segs.pop_back();
      continue;
    }
    segs.push_back(seg);
  }
  std::string out;
  for (const auto& s : segs) {
    if (!out.empty()) out += '/';
    out += s;
  }
  return out;
}

}  // namespace

class WorkbookLoader {
 public:
  WorkbookLoader(std::string_view bytes, const std::string& label) : label_(label), zip_(bytes, label) {}

  std::shared_ptr<const Workbook> Load() {
    std::string workbookPart = FindWorkbookPart();
    auto rels = ReadRelationships(workbookPart);
    pugi::xml_document wb;
    ParseXml(wb, workbookPart);
    pugi::xml_node root = wb.document_element();
    if (Local(root.name()) != "workbook") throw Failure(label_ + ": " + workbookPart + " is not a workbook");
    pugi::xml_node pr = Child(root, "workbookPr");
    std::string d1904 = pr.attribute("date1904").value();
    date1904_ = d1904 == "1" || d1904 == "true";

    for (const auto& [id, rel] : rels) {
      if (rel.type == "sharedStrings") ReadSharedStrings(rel.target);
      else if (rel.type == "styles") ReadStyles(rel.target);
    }

    auto book = std::make_shared<Workbook>();
    ForChildren(Child(root, "sheets"), "sheet", [&](pugi::xml_node sheet) {
      std::string name = sheet.attribute("name").value();
      std::string id = RelationshipId(sheet);
      auto it = rels.find(id);
      if (it == rels.end()) throw Failure(label_ + ": sheet \"" + name + "\" has no relationship");
      if (it->second.type != "worksheet") return;  // a chart sheet or the like
      auto ws = std::make_shared<Worksheet>();
      ws->name_ = name;
      ReadWorksheet(*ws, it->second.target);
      book->sheets_.push_back(std::move(ws));
    });
    return book;
  }

 private:
  void ParseXml(pugi::xml_document& doc, const std::string& part) {
    std::string data = zip_.Read(part);
    pugi::xml_parse_result r =
        doc.load_buffer(data.data(), data.size(), pugi::parse_default | pugi::parse_ws_pcdata_single);
    if (!r) throw Failure(label_ + ": " + part + " is not well-formed XML (" + r.description() + ")");
    if (!doc.document_element()) throw Failure(label_ + ": " + part + " is empty");
  }

  std::map<std::string, Relationship> ReadRelationships(const std::string& part) {
    std::string folder = FolderOf(part);
    std::string relsPart = folder + "_rels/" + part.substr(folder.size()) + ".rels";
    std::map<std::string, Relationship> out;
    if (!zip_.Has(relsPart)) return out;
    pugi::xml_document doc;
    ParseXml(doc, relsPart);
    ForChildren(doc.document_element(), "Relationship", [&](pugi::xml_node r) {
      if (EqualsNoCase(r.attribute("TargetMode").value(), "External")) return;
      std::string type = r.attribute("Type").value();
      size_t slash = type.rfind('/');
      Relationship rel{slash == std::string::npos ? type : type.substr(slash + 1),
                       ResolveTarget(folder, r.attribute("Target").value())};
      if (rel.target.empty())
        throw Failure(label_ + ": " + relsPart + " points outside the package (\"" + r.attribute("Target").value() +
                      "\")");
      out.emplace(r.attribute("Id").value(), std::move(rel));
    });
    return out;
  }

  // The package's relationships name the main workbook part; packages without them keep it
  // at its usual place.
  std::string FindWorkbookPart() {
    for (const auto& [id, rel] : ReadRelationships(""))
      if (rel.type == "officeDocument" && !rel.target.empty()) return rel.target;
    return "xl/workbook.xml";
  }

  void ReadSharedStrings(const std::string& part) {
    pugi::xml_document doc;
    ParseXml(doc, part);
    ForChildren(doc.document_element(), "si", [&](pugi::xml_node si) { shared_.push_back(StringItemText(si)); });
  }

  void ReadStyles(const std::string& part) {
    pugi::xml_document doc;
    ParseXml(doc, part);
    pugi::xml_node root = doc.document_element();
    std::map<long, std::string> custom;
    ForChildren(Child(root, "numFmts"), "numFmt", [&](pugi::xml_node f) {
      if (auto id = ParseInt(f.attribute("numFmtId").value())) custom[*id] = f.attribute("formatCode").value();
    });
    ForChildren(Child(root, "cellXfs"), "xf", [&](pugi::xml_node xf) {
      auto id = ParseInt(xf.attribute("numFmtId").value()).value_or(0);
      auto it = custom.find(id);
      dateStyles_.push_back(it != custom.end() ? IsDateFormatCode(it->second)
                                               : IsBuiltinDateFormat(static_cast<int>(id)));
    });
  }

  bool IsDateStyle(long s) const {
    return s >= 0 && static_cast<size_t>(s) < dateStyles_.size() && dateStyles_[static_cast<size_t>(s)];
  }

  double ToVariantDate(double serial) const {
    if (date1904_) return serial + k1904Offset;
    // The 1900 system counts a 29 February 1900 that never was: its first two months are one
    // day behind the date variant.
    if (serial >= 1 && serial < 60) return serial + 1;
    return serial;
  }

  void ReadWorksheet(Worksheet& ws, const std::string& part) {
    pugi::xml_document doc;
    ParseXml(doc, part);
    pugi::xml_node root = doc.document_element();
    if (Local(root.name()) != "worksheet")
      throw Failure(label_ + ": " + part + " is not a worksheet");
    const std::string where = label_ + ": sheet \"" + ws.name_ + "\"";
    int minRow = 0, maxRow = 0, minCol = 0, maxCol = 0;
    bool any = false;
    int lastRow = 0;
    ForChildren(Child(root, "sheetData"), "row", [&](pugi::xml_node rowNode) {
      int rowNumber = lastRow + 1;
      if (pugi::xml_attribute r = rowNode.attribute("r")) {
        auto v = ParseInt(r.value());
        if (!v || *v < 1 || *v > kMaxRows) throw Failure(where + ": bad row number \"" + r.value() + "\"");
        rowNumber = static_cast<int>(*v);
      }
      if (rowNumber > kMaxRows) throw Failure(where + ": too many rows");
      lastRow = rowNumber;
      int lastCol = 0;
      ForChildren(rowNode, "c", [&](pugi::xml_node c) {
        int row = rowNumber, col = lastCol + 1;
        if (pugi::xml_attribute r = c.attribute("r")) {
          if (!ParseCellRef(r.value(), row, col)) throw Failure(where + ": bad cell reference \"" + r.value() + "\"");
        }
        if (col > kMaxColumns) throw Failure(where + ": too many columns");
        lastCol = col;
        const std::string ref = where + " cell " + c.attribute("r").value();
        long style = ParseInt(c.attribute("s").value()).value_or(0);
        std::optional<Variant> value = CellValue(c, style, ref);
        if (!value && style == 0) return;  // nothing stored: not part of the used range
        if (!any) {
          minRow = maxRow = row;
          minCol = maxCol = col;
          any = true;
        }
        minRow = std::min(minRow, row);
        maxRow = std::max(maxRow, row);
        minCol = std::min(minCol, col);
        maxCol = std::max(maxCol, col);
        if (value) ws.cells_.push_back({row, col, std::move(*value)});
      });
    });
    if (any) ws.used_ = {minRow, minCol, maxRow - minRow + 1, maxCol - minCol + 1};
    // Rows are written in order, but nothing forces it; a cell written twice keeps its last value.
    std::stable_sort(ws.cells_.begin(), ws.cells_.end(), [](const auto& a, const auto& b) {
      return a.row != b.row ? a.row < b.row : a.column < b.column;
    });
    auto last = std::unique(ws.cells_.rbegin(), ws.cells_.rend(), [](const auto& a, const auto& b) {
      return a.row == b.row && a.column == b.column;
    });
    ws.cells_.erase(ws.cells_.begin(), last.base());
  }

  // The value a cell stores; nothing for a cell without one.
  std::optional<Variant> CellValue(pugi::xml_node c, long style, const std::string& ref) {
    std::string_view type = c.attribute("t").value();
    pugi::xml_node v = Child(c, "v");
    if (type == "inlineStr") {
      if (pugi::xml_node is = Child(c, "is")) return Variant::Text(StringItemText(is));
      if (!v) return std::nullopt;
      return Variant::Text(DecodeEscapes(v.child_value()));
    }
    if (!v) return std::nullopt;
    std::string_view text = v.child_value();
    if (type == "s") {
      auto index = ParseInt(text);
      if (!index || *index < 0 || static_cast<size_t>(*index) >= shared_.size())
        throw Failure(ref + ": no shared string " + std::string(text));
      return Variant::Text(shared_[static_cast<size_t>(*index)]);
    }
    if (type == "str") return Variant::Text(DecodeEscapes(text));
    if (type == "e") return Variant::Error(std::string(Trim(text)));
    if (type == "b") {
      std::string_view t = Trim(text);
      if (t == "1" || t == "true") return Variant::Bool(true);
      if (t == "0" || t == "false") return Variant::Bool(false);
      throw Failure(ref + ": bad truth value \"" + std::string(text) + "\"");
    }
    if (type == "d") {
      if (Trim(text).empty()) return std::nullopt;
      auto d = ParseIsoDate(text);
      if (!d) throw Failure(ref + ": bad date \"" + std::string(text) + "\"");
      return Variant::Date(*d);
    }
    if (!type.empty() && type != "n") throw Failure(ref + ": unknown cell type \"" + std::string(type) + "\"");
    if (Trim(text).empty()) return std::nullopt;
    auto n = ParseNumber(text);
    if (!n) throw Failure(ref + ": bad number \"" + std::string(text) + "\"");
    if (IsDateStyle(style)) return Variant::Date(ToVariantDate(*n));
    return Variant::Number(*n);
  }

  std::string label_;
  Archive zip_;
  bool date1904_ = false;
  std::vector<std::string> shared_;
  std::vector<bool> dateStyles_;  // by cell format index
};

bool VariantTimeToDate(double value, CalendarDate& out) {
  // 0001-01-01 .. 9999-12-31 is beyond what a date variant holds; it spans the years 100-9999.
  if (!(value >= -657434.0 && value < 2958466.0)) return false;
  double whole = std::trunc(value);
  auto seconds = static_cast<long>(std::lround(std::fabs(value - whole) * 86400.0));
  auto days = static_cast<long>(whole);
  if (seconds >= 86400) {  // rounding reached the next day
    seconds -= 86400;
    days += value < 0 ? -1 : 1;
  }
  using namespace std::chrono;
  const sys_days base = year{1899} / December / 30;
  year_month_day ymd{base + std::chrono::days{days}};
  if (int(ymd.year()) > 9999) return false;
  out.year = int(ymd.year());
  out.month = static_cast<int>(unsigned(ymd.month()));
  out.day = static_cast<int>(unsigned(ymd.day()));
  out.hour = static_cast<int>(seconds / 3600);
  out.minute = static_cast<int>(seconds / 60 % 60);
  out.second = static_cast<int>(seconds % 60);
  return true;
}

bool IsBuiltinDateFormat(int id) {
  // 14-22 and 45-47 are the dates and times of every locale; 27-36 and 50-58 are the East
  // Asian date formats that workbooks from a Chinese, Japanese or Korean desktop carry.
  return (id >= 14 && id <= 22) || (id >= 45 && id <= 47) || (id >= 27 && id <= 36) || (id >= 50 && id <= 58);
}

bool IsDateFormatCode(std::string_view code) {
  for (size_t i = 0; i < code.size(); ++i) {
    char c = code[i];
    switch (c) {
      case '"': {  // literal text
        size_t end = code.find('"', i + 1);
        if (end == std::string_view::npos) return false;
        i = end;
        continue;
      }
      case '\\':  // the next character stands for itself
      case '_':   // a blank as wide as the next character
      case '*':   // the next character fills the cell
        ++i;
        continue;
      case '[': {  // a colour, a condition, a locale - or an elapsed time such as [h] or [mm]
        size_t end = code.find(']', i + 1);
        if (end == std::string_view::npos) return false;
        std::string_view inner = code.substr(i + 1, end - i - 1);
        if (!inner.empty() && std::all_of(inner.begin(), inner.end(), [](char x) {
              char l = Lower(x);
              return l == 'h' || l == 'm' || l == 's';
            }))
          return true;
        i = end;
        continue;
      }
      default:
        break;
    }
    std::string_view rest = code.substr(i);
    char l = Lower(c);
    if (rest.size() >= 7 && EqualsNoCase(rest.substr(0, 7), "general")) {
      i += 6;
      continue;
    }
    if (l == 'd' || l == 'm' || l == 'y' || l == 'h' || l == 's') return true;
    if (l == 'e') {  // an era year, unless it is the exponent of a scientific format
      if (i + 1 < code.size() && (code[i + 1] == '+' || code[i + 1] == '-')) continue;
      return true;
    }
    if (l == 'a' && (rest.size() >= 5 && EqualsNoCase(rest.substr(0, 5), "am/pm"))) return true;
    if (l == 'a' && (rest.size() >= 3 && EqualsNoCase(rest.substr(0, 3), "a/p"))) return true;
  }
  return false;
}

const Variant& RangeValues::At(int row, int column) const {
  int r = row - firstRow, c = column - firstColumn;
  if (r < 0 || c < 0 || r >= rows || c >= columns) return kEmpty;
  return values[static_cast<size_t>(r) * static_cast<size_t>(columns) + static_cast<size_t>(c)];
}

const Variant& Worksheet::Cell(int row, int column) const {
  auto it = std::lower_bound(cells_.begin(), cells_.end(), std::pair{row, column}, [](const Entry& e, const auto& key) {
    return e.row != key.first ? e.row < key.first : e.column < key.second;
  });
  if (it == cells_.end() || it->row != row || it->column != column) return kEmpty;
  return it->value;
}

RangeValues Worksheet::UsedValues() const {
  RangeValues out;
  const uint64_t count = static_cast<uint64_t>(used_.rows) * static_cast<uint64_t>(used_.columns);
  if (count > kMaxBlockCells) return out;  // too big to hand out whole: read it cell by cell
  out.firstRow = used_.firstRow;
  out.firstColumn = used_.firstColumn;
  out.rows = used_.rows;
  out.columns = used_.columns;
  out.values.resize(static_cast<size_t>(count));
  for (const Entry& e : cells_) {
    size_t r = static_cast<size_t>(e.row - used_.firstRow), c = static_cast<size_t>(e.column - used_.firstColumn);
    out.values[r * static_cast<size_t>(used_.columns) + c] = e.value;
  }
  return out;
}

std::shared_ptr<const Worksheet> Workbook::SheetAt(int index) const {
  if (index < 1 || index > SheetCount()) return nullptr;
  return sheets_[static_cast<size_t>(index - 1)];
}

std::shared_ptr<const Worksheet> Workbook::SheetNamed(std::string_view name) const {
  for (const auto& s : sheets_)
    if (EqualsNoCase(s->Name(), name)) return s;
  return nullptr;
}

std::shared_ptr<const Workbook> Workbook::FromBytes(std::string_view bytes, const std::string& label,
                                                    std::string* error) {
  try {
    return WorkbookLoader(bytes, label).Load();
  } catch (const Failure& f) {
    if (error) *error = f.what();
  } catch (const std::bad_alloc&) {
    if (error) *error = label + ": not enough memory to read it";
  }
  return nullptr;
}

std::shared_ptr<const Workbook> Workbook::Open(const std::string& path, std::string* error) {
  namespace fs = std::filesystem;
  auto fail = [&](const std::string& why) -> std::shared_ptr<const Workbook> {
    if (error) *error = why;
    return nullptr;
  };
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return fail(path + ": no such workbook file");
  uintmax_t size = fs::file_size(path, ec);
  if (ec) return fail(path + ": " + ec.message());
  if (size == 0) return fail(path + ": empty file, not a workbook");
  if (size > kMaxFileBytes) return fail(path + ": too large for a workbook");
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail(path + ": cannot be opened for reading");
  std::string bytes(static_cast<size_t>(size), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(size));
  if (static_cast<uintmax_t>(in.gcount()) != size) return fail(path + ": cannot be read");
  return FromBytes(bytes, path, error);
}

namespace {
std::atomic<int> g_unavailable{0};
}

std::shared_ptr<SpreadsheetApp> SpreadsheetApp::Create() {
  if (g_unavailable.load() > 0) return nullptr;
  return std::make_shared<SpreadsheetApp>();
}

std::string SpreadsheetApp::Version() const { return "1.0"; }

std::shared_ptr<const Workbook> SpreadsheetApp::AddWorkbook(const std::string& path, std::string* error) const {
  if (quit_.load()) {
    if (error) *error = "the spreadsheet service has quit";
    return nullptr;
  }
  return Workbook::Open(path, error);
}

ScopedSpreadsheetUnavailable::ScopedSpreadsheetUnavailable() { ++g_unavailable; }
ScopedSpreadsheetUnavailable::~ScopedSpreadsheetUnavailable() { --g_unavailable; }

}  // namespace plat
