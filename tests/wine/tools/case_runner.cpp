// Runs the registry cases of a case file and prints one line per case: the
// case's name, a tab, and what each of its steps returned. The same source
// is built twice, once on the host against the stand-in and once for 64-bit
// Windows against the real registry, so that the two outputs can be compared
// line by line.
//
//   regcases FILE
//
// A case file holds blocks of the form
//
//   case NAME
//     STEP ARGS...
//
// '#' starts a comment line; a line "wine-differs ..." is read by the test
// that compares the outputs, not here. The steps, each printing one token:
//
//   create VAR KEY PATH     RegCreateKeyExA     create=RC/new or /old
//   open VAR KEY PATH       RegOpenKeyExA       open=RC
//   close KEY               RegCloseKey         close=RC
//   set KEY NAME TEXT       RegSetValueExA      set=RC     (REG_SZ)
//   delvalue KEY NAME       RegDeleteValueA     delvalue=RC
//   delkey KEY PATH         RegDeleteKeyA       delkey=RC
//   enumex KEY INDEX SIZE   RegEnumKeyExA       enumex=RC,size=N,NAME
//   enum KEY INDEX SIZE     RegEnumKeyA         enum=RC,NAME
//   list KEY                RegEnumKeyExA from index 0 to the end: list=[A,B]/RC
//   link ROOT PATH ROOT PATH  plants a link to the second key  link=RC
//
// KEY is HKCU, HKLM, HKU, null or a variable that an open or create step
// set. In paths and names "~" stands for the scratch key, {c*N} for N times
// the character c, "" for the empty string and (null) for a null pointer.
// enumex and enum with a trailing "-" print the status code only.

#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/wine/tools/case_scratch.h"

namespace cases {
namespace {

constexpr REGSAM kAccess = KEY_READ | KEY_WRITE;

struct Text {
  std::string value;
  bool null = false;
  const char* get() const { return null ? nullptr : value.c_str(); }
};

// Expands "~", {c*N} and the empty-string marker of one argument.
Text Expand(const std::string& token) {
  if (token == "(null)") return {"", true};
  if (token == "\"\"") return {"", false};
  std::string out;
  for (std::size_t i = 0; i < token.size(); ++i) {
    if (token[i] == '~') {
      out += kScratch;
    } else if (token[i] == '{' && i + 3 < token.size() && token[i + 2] == '*') {
      const std::size_t close = token.find('}', i);
      const char repeated = token[i + 1];
      const std::size_t count = std::stoul(token.substr(i + 3, close - i - 3));
      out.append(count, repeated);
      i = close;
    } else {
      out += token[i];
    }
  }
  return {out, false};
}

// Writes long runs of one character back in the {c*N} form, so that a name
// of 255 characters stays readable in the output.
std::string Shorten(const std::string& name) {
  std::string out;
  for (std::size_t i = 0; i < name.size();) {
    std::size_t run = 1;
    while (i + run < name.size() && name[i + run] == name[i]) ++run;
    if (run >= 8) {
      out += "{" + std::string(1, name[i]) + "*" + std::to_string(run) + "}";
    } else {
      out.append(run, name[i]);
    }
    i += run;
  }
  return out;
}

std::optional<RootKey> RootNamed(const std::string& token) {
  if (token == "HKCU") return RootKey::CurrentUser;
  if (token == "HKLM") return RootKey::LocalMachine;
  if (token == "HKU") return RootKey::Users;
  return std::nullopt;
}

class CaseRun {
 public:
  // Runs one step; returns its output token, or an empty string when the
  // step is not understood.
  std::string Step(const std::vector<std::string>& t) {
    const std::string& op = t[0];
    if (op == "create" && t.size() == 4) return Create(t[1], Key(t[2]), Expand(t[3]));
    if (op == "open" && t.size() == 4) return Open(t[1], Key(t[2]), Expand(t[3]));
    if (op == "close" && t.size() == 2) return Close(t[1]);
    if (op == "set" && t.size() == 4) return Set(Key(t[1]), Expand(t[2]), Expand(t[3]));
    if (op == "delvalue" && t.size() == 3) {
      return "delvalue=" + std::to_string(RegDeleteValueA(Key(t[1]), Expand(t[2]).get()));
    }
    if (op == "delkey" && t.size() == 3) {
      return "delkey=" + std::to_string(RegDeleteKeyA(Key(t[1]), Expand(t[2]).get()));
    }
    const bool nameless = t.size() == 5 && t[4] == "-";
    if (op == "enumex" && (t.size() == 4 || nameless)) {
      return EnumEx(Key(t[1]), std::stoul(t[2]), std::stoul(t[3]), !nameless);
    }
    if (op == "enum" && (t.size() == 4 || nameless)) {
      return Enum(Key(t[1]), std::stoul(t[2]), std::stoul(t[3]), !nameless);
    }
    if (op == "list" && t.size() == 2) return List(Key(t[1]));
    if (op == "link" && t.size() == 5) {
      const auto from = RootNamed(t[1]), to = RootNamed(t[3]);
      if (!from || !to) return "";
      return "link=" + std::to_string(MakeLink(*from, Expand(t[2]).value, *to,
                                               Expand(t[4]).value));
    }
    return "";
  }

  // Closes what the case left open; the case's own output is complete.
  void CloseLeftovers() {
    for (const auto& entry : open_) RegCloseKey(entry.second);
    open_.clear();
  }

 private:
  HKEY Key(const std::string& token) {
    if (auto root = RootNamed(token)) return RootHandle(*root);
    auto it = vars_.find(token);
    return it == vars_.end() ? nullptr : it->second;
  }

  void Remember(const std::string& var, HKEY key) {
    vars_[var] = key;
    open_[var] = key;
  }

  std::string Create(const std::string& var, HKEY parent, const Text& path) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    const LONG rc = RegCreateKeyExA(parent, path.get(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    kAccess, nullptr, &key, &disposition);
    if (rc != ERROR_SUCCESS) return "create=" + std::to_string(rc);
    Remember(var, key);
    return "create=0/" + std::string(disposition == 1 ? "new" : "old");
  }

  std::string Open(const std::string& var, HKEY parent, const Text& path) {
    HKEY key = nullptr;
    const LONG rc = RegOpenKeyExA(parent, path.get(), 0, kAccess, &key);
    if (rc == ERROR_SUCCESS) Remember(var, key);
    return "open=" + std::to_string(rc);
  }

  std::string Close(const std::string& token) {
    const LONG rc = RegCloseKey(Key(token));
    open_.erase(token);
    return "close=" + std::to_string(rc);
  }

  std::string Set(HKEY key, const Text& name, const Text& text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.value.c_str());
    const LONG rc = RegSetValueExA(key, name.get(), 0, REG_SZ, bytes,
                                   static_cast<DWORD>(text.value.size() + 1));
    return "set=" + std::to_string(rc);
  }

  std::string EnumEx(HKEY key, DWORD index, DWORD size, bool withName) {
    std::vector<char> buffer(size + 16, '\x7f');
    DWORD inOut = size;
    FILETIME written{};
    const LONG rc = RegEnumKeyExA(key, index, buffer.data(), &inOut, nullptr, nullptr,
                                  nullptr, &written);
    std::string out = "enumex=" + std::to_string(rc);
    if (withName) out += ",size=" + std::to_string(inOut);
    if (rc == ERROR_SUCCESS && withName) out += "," + Shorten(buffer.data());
    return out;
  }

  std::string Enum(HKEY key, DWORD index, DWORD size, bool withName) {
    std::vector<char> buffer(size + 16, '\x7f');
    const LONG rc = RegEnumKeyA(key, index, buffer.data(), size);
    std::string out = "enum=" + std::to_string(rc);
    if (rc == ERROR_SUCCESS && withName) out += "," + Shorten(buffer.data());
    return out;
  }

  std::string List(HKEY key) {
    std::string names;
    LONG rc = ERROR_SUCCESS;
    for (DWORD index = 0; index < 1000; ++index) {
      char name[256];
      DWORD size = sizeof name;
      FILETIME written{};
      rc = RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, &written);
      if (rc != ERROR_SUCCESS) break;
      names += (index ? "," : "") + Shorten(name);
    }
    return "list=[" + names + "]/" + std::to_string(rc);
  }

  std::map<std::string, HKEY> vars_;
  std::map<std::string, HKEY> open_;
};

std::vector<std::string> Tokens(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> tokens;
  for (std::string token; in >> token;) tokens.push_back(token);
  return tokens;
}

struct Case {
  std::string name;
  std::vector<std::vector<std::string>> steps;
  int line = 0;
};

bool Read(const char* file, std::vector<Case>* all) {
  std::ifstream in(file);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", file);
    return false;
  }
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto tokens = Tokens(line);
    if (tokens.empty() || tokens[0][0] == '#' || tokens[0] == "wine-differs") continue;
    if (tokens[0] == "case") {
      all->push_back(Case{line.substr(line.find("case") + 5), {}, number});
    } else if (all->empty()) {
      std::fprintf(stderr, "%s:%d: a step before the first case\n", file, number);
      return false;
    } else {
      all->back().steps.push_back(tokens);
    }
  }
  return true;
}

}  // namespace
}  // namespace cases

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: regcases FILE\n");
    return 64;
  }
  std::vector<cases::Case> all;
  if (!cases::Read(argv[1], &all)) return 2;
  for (const cases::Case& c : all) {
    cases::ClearScratch();
    cases::CaseRun run;
    std::string result;
    for (const auto& step : c.steps) {
      const std::string token = run.Step(step);
      if (token.empty()) {
        std::fprintf(stderr, "case \"%s\": step not understood: %s ...\n", c.name.c_str(),
                     step[0].c_str());
        return 2;
      }
      result += (result.empty() ? "" : " ") + token;
    }
    run.CloseLeftovers();
    std::printf("%s\t%s\n", c.name.c_str(), result.c_str());
  }
  cases::ClearScratch();
  std::fflush(stdout);
  return 0;
}
