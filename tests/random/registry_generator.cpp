#include "tests/random/registry_generator.h"

#include <functional>
#include <vector>

#include "sim/sim.h"

namespace randreg {

std::uint32_t SeededEntropy::Draw(std::uint32_t n) {
  state_ += 0x9E3779B97F4A7C15ull;
  std::uint64_t z = state_;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return n <= 1 ? 0 : static_cast<std::uint32_t>((z >> 32) % n);
}

std::uint32_t BytesEntropy::Draw(std::uint32_t n) {
  if (n <= 1) return 0;
  const int bytes = n <= 0x100 ? 1 : n <= 0x10000 ? 2 : 4;
  std::uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value = (value << 8) | (used_ < size_ ? data_[used_] : 0);
    ++used_;
  }
  return value % n;
}

namespace {

using refmodel::Key;
using refmodel::Refusal;
using refmodel::Registry;
using refmodel::Root;
using refmodel::Start;
using Path = std::vector<std::string>;

// Letters of both cases, digits, and the characters that list between the
// upper- and the lower-case letters ('[', '^', '_', '`'), so that listing
// order depends on folding to upper case.
constexpr char kNameChars[] = "aAbBmMzZ09 _-.~[^`{";

// Enough keys to reach into every rule, few enough for thousands of cases.
constexpr std::size_t kMaxKeysPerCase = 120;

class Generator {
 public:
  explicit Generator(Entropy& e) : e_(e) {}

  Case Run() {
    Case c;
    Registry& r = c.registry;
    MakeHives(r);
    Fill(r.machine, {}, Root::Machine);
    for (std::size_t i = 0; i < r.users.subkeys.size(); ++i) {
      // Each hive is reached by its path from HKEY_USERS: keys move inside
      // their parent's vector as siblings are added, so no reference into
      // the tree is held across additions.
      Fill(r.users, {r.users.subkeys[i].name}, Root::Users);
    }
    AddRefusals(r);
    for (int& state : c.guardStates) state = GuardState();
    PickTree(c);
    return c;
  }

 private:
  struct Place {
    Root root;
    Path path;
  };

  std::string Name() {
    std::uint32_t length;
    switch (e_.Draw(12)) {
      case 0:
        length = e_.Between(9, 40);
        break;
      case 1:
        length = e_.Between(250, 260);  // around the 256-character buffer
        break;
      case 2:
        length = e_.Between(1, 300);
        break;
      default:
        length = e_.Between(1, 6);
    }
    std::string name;
    for (std::uint32_t i = 0; i < length; ++i) {
      name += kNameChars[e_.Draw(sizeof kNameChars - 1)];
    }
    return name;
  }

  // Windows matches names whatever their case: the planned names turn up
  // in other spellings too.
  std::string Respell(const std::string& name) {
    if (!e_.OneIn(3)) return name;
    std::string out = name;
    for (char& ch : out) {
      if (e_.OneIn(2)) {
        if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
        else if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
      }
    }
    return out;
  }

  bool HasSubkey(const Key& key, const std::string& name) {
    for (const Key& k : key.subkeys) {
      if (refmodel::SameName(k.name, name)) return true;
    }
    return false;
  }

  void MakeHives(Registry& r) {
    r.users.subkeys.push_back(Key{kResetHive, {}, {}});
    const std::uint32_t extra = e_.Draw(8);  // 1 to 8 hives in all
    for (std::uint32_t i = 0; i < extra; ++i) {
      std::string name;
      switch (e_.Draw(5)) {
        case 0:
          name = ".DEFAULT";
          break;
        case 1:
          name = "S-1-5-18";
          break;
        case 2:
          name = "S-1-5-21-1-2-3-" + std::to_string(1002 + e_.Draw(50)) + "_Classes";
          break;
        case 3:
          name = "S-1-5-21-1-2-3-" + std::to_string(1002 + e_.Draw(50));
          break;
        default: {
          // Long enough that the hive name with one suffix or another, or
          // the name alone, no longer fits 260 characters.
          name = "S-1-5-21-";
          const std::uint32_t length = e_.Between(200, 262);
          while (name.size() < length) name += static_cast<char>('0' + e_.Draw(10));
        }
      }
      name = Respell(name);
      if (!HasSubkey(r.users, name)) r.users.subkeys.push_back(Key{name, {}, {}});
    }
    r.currentUser = r.users.subkeys[e_.Draw(static_cast<std::uint32_t>(r.users.subkeys.size()))].name;
  }

  void AddValue(Key& key, const std::string& name) {
    for (const refmodel::Value& v : key.values) {
      if (refmodel::SameName(v.name, name)) return;
    }
    refmodel::Value value{name, e_.OneIn(3) ? 4u : 1u, {}};
    const std::uint32_t count = e_.Draw(6);
    for (std::uint32_t i = 0; i < count; ++i) {
      value.bytes.push_back(static_cast<std::uint8_t>(e_.Draw(256)));
    }
    key.values.push_back(value);
  }

  // A key at `path` below the root `top`, made with every key above it.
  Key& At(Key& top, const Path& path) {
    ++keys_;
    return refmodel::MakeKey(top, path);
  }

  void RandomValues(Key& key) {
    const std::uint32_t count = e_.OneIn(2) ? 0 : e_.Between(1, 3);
    for (std::uint32_t i = 0; i < count; ++i) AddValue(key, Name());
  }

  // A random tree below the key at `path`.
  void Grow(Key& top, const Path& path, int depth) {
    RandomValues(refmodel::MakeKey(top, path));
    if (depth >= 5) return;
    const std::uint32_t children = e_.Draw(depth == 0 ? 5 : 4 - depth / 2);
    for (std::uint32_t i = 0; i < children && keys_ < kMaxKeysPerCase; ++i) {
      const std::string name = Name();
      if (HasSubkey(*refmodel::FindKey(top, path), name)) continue;
      Path below = path;
      below.push_back(name);
      At(top, below);
      places_.push_back(Place{root_, below});
      Grow(top, below, depth + 1);
    }
  }

  // One root location: HKEY_LOCAL_MACHINE, or one hive.
  void Fill(Key& top, const Path& base, Root root) {
    root_ = root;
    if (e_.OneIn(5)) return;  // nothing of the maker here
    auto path = [&](std::initializer_list<const char*> names) {
      Path p = base;
      for (const char* n : names) p.push_back(Respell(n));
      return p;
    };
    const Path helvarin = path({"Software", "Helvarin"});
    // The keys the plan deletes, and neighbours with similar names that it
    // must leave.
    static const char* const kProductKeys[] = {
        "VLD", "TideMark", "Tide Mark Viewer", "Brightmoor", "Harbor Kit",
        "TideMarkX", "VLD2", "Tide", "Tide Mark", "Brightmoor2"};
    for (const char* name : kProductKeys) {
      if (!e_.OneIn(2)) continue;
      Path p = helvarin;
      p.push_back(Respell(name));
      At(top, p);
      places_.push_back(Place{root, p});
      Grow(top, p, 0);
    }
    if (e_.OneIn(2)) {
      const Path p = path({"Software", "Helvarin", "TideMark", "Plugins"});
      AddValue(At(top, p), Respell("IEPlugin.dll"));
    }
    if (e_.OneIn(2)) {
      const Path p = path({"Software", "Helvarin", "Brightmoor", "Disable Intro Dialogs"});
      Key& k = At(top, p);
      if (!e_.OneIn(4)) AddValue(k, Respell("Tide Mark Viewer"));
      if (e_.OneIn(2)) AddValue(k, "Other Viewer");
      places_.push_back(Place{root, p});
    }
    if (e_.OneIn(2)) {
      const Path p = path({"Software", "Microsoft", "Windows", "CurrentVersion", "Run"});
      Key& k = At(top, p);
      if (!e_.OneIn(4)) AddValue(k, Respell("HelKeepAlive"));
      if (e_.OneIn(2)) AddValue(k, "HelKeepAlive2");
      RandomValues(k);
      places_.push_back(Place{root, p});
      if (e_.OneIn(4)) Grow(top, p, 3);
    }
    if (e_.OneIn(3)) {
      const Path p = path({"Software", "Other", "TideMark"});
      At(top, p);
      Grow(top, p, 2);
    }
    places_.push_back(Place{root, helvarin});
  }

  void AddRefusals(Registry& r) {
    // Some cases refuse nothing, the others at a rate of their own.
    if (e_.OneIn(4)) return;
    const std::uint32_t rate = e_.Between(8, 80);
    // The listing of HKEY_USERS itself, now and then.
    if (e_.OneIn(20)) r.refusals.push_back({Root::Users, {}, Refusal::Open, false});
    for (const Place& place : places_) {
      for (Refusal refusal : {Refusal::Open, Refusal::Delete}) {
        if (!e_.OneIn(rate)) continue;
        // Refusals name the key as written, in any spelling.
        Path p;
        for (const std::string& n : place.path) p.push_back(Respell(n));
        r.refusals.push_back({place.root, p, refusal, e_.OneIn(4)});
      }
    }
  }

  int GuardState() {
    // Mostly not installed locally, so that most cases run the whole plan.
    static const int kNotLocal[] = {4, 2, -1, -2, 1, 5, 0};
    return e_.OneIn(12) ? 3 : kNotLocal[e_.Draw(7)];
  }

  void PickTree(Case& c) {
    const Registry& r = c.registry;
    static const char* const kPlanned[] = {"VLD", "TideMark", "Tide Mark Viewer",
                                           "Brightmoor", "Harbor Kit"};
    const std::string planned = std::string("Software\\Helvarin\\") + kPlanned[e_.Draw(5)];
    switch (e_.Draw(8)) {
      case 0:
        c.treeStart = Start::Machine;
        c.treePath = planned;
        return;
      case 1:
        c.treeStart = Start::CurrentUser;
        c.treePath = planned;
        return;
      case 2: {
        c.treeStart = Start::Users;
        c.treePath = r.users.subkeys[e_.Draw(static_cast<std::uint32_t>(r.users.subkeys.size()))].name +
                     "\\" + planned;
        return;
      }
      default:
        break;
    }
    // A key that exists (or one more name below it, which does not), in any
    // spelling; keys straight below a root are among them.
    if (places_.empty()) {
      c.treeStart = Start::Machine;
      c.treePath = "Software";
      return;
    }
    const Place& place = places_[e_.Draw(static_cast<std::uint32_t>(places_.size()))];
    c.treeStart = place.root == Root::Machine ? Start::Machine : Start::Users;
    const std::size_t depth = 1 + e_.Draw(static_cast<std::uint32_t>(place.path.size()));
    std::string path;
    for (std::size_t i = 0; i < depth; ++i) {
      path += (i ? "\\" : "") + Respell(place.path[i]);
    }
    if (e_.OneIn(6)) path += "\\Missing";
    c.treePath = path;
  }

  Entropy& e_;
  std::vector<Place> places_;
  std::size_t keys_ = 0;
  Root root_ = Root::Machine;
};

// Making a key makes the keys above it, so only keys without subkeys and
// without values need a call of their own.
void SeedKey(RootKey root, const Key& key, const std::string& path) {
  if (!path.empty() && key.subkeys.empty() && key.values.empty()) sim::CreateKey(root, path);
  for (const refmodel::Value& v : key.values) sim::PutValue(root, path, v.name, v.type, v.bytes);
  for (const Key& k : key.subkeys) SeedKey(root, k, path.empty() ? k.name : path + "\\" + k.name);
}

std::string Join(const Path& path) {
  std::string text;
  for (const std::string& n : path) text += (text.empty() ? "" : "\\") + n;
  return text;
}

}  // namespace

Case Generate(Entropy& entropy) { return Generator(entropy).Run(); }

void SeedStandIn(const Registry& registry) {
  sim::Reset();
  SeedKey(RootKey::LocalMachine, registry.machine, "");
  SeedKey(RootKey::Users, registry.users, "");
  sim::SetCurrentUser(registry.currentUser);
  for (const refmodel::Refused& r : registry.refusals) {
    sim::Refuse(r.root == Root::Machine ? RootKey::LocalMachine : RootKey::Users, Join(r.path),
                r.refusal == Refusal::Open ? sim::Refusal::Open : sim::Refusal::Delete,
                r.subtree);
  }
}

std::string Describe(const Case& c) {
  std::string text = "hives:";
  for (const Key& hive : c.registry.users.subkeys) {
    text += " " + (hive.name.size() > 40 ? hive.name.substr(0, 20) + "...(" +
                                               std::to_string(hive.name.size()) + " chars)"
                                         : hive.name);
  }
  text += "\ncurrent user: " + c.registry.currentUser.substr(0, 40);
  text += "\nguard states: " + std::to_string(c.guardStates[0]) + ", " +
          std::to_string(c.guardStates[1]);
  text += "\nrefusals:";
  for (const refmodel::Refused& r : c.registry.refusals) {
    text += std::string("\n  ") + (r.root == Root::Machine ? "HKLM\\" : "HKU\\") +
            Join(r.path) + (r.refusal == Refusal::Open ? " open" : " delete") +
            (r.subtree ? " (subtree)" : "");
  }
  static const char* const kStarts[] = {"HKCU", "HKLM", "HKU"};
  text += "\ntree deletion: " + std::string(kStarts[static_cast<int>(c.treeStart)]) + "\\" +
          c.treePath;
  return text;
}

}  // namespace randreg
