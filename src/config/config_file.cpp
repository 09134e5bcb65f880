#include "config/config_file.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <pugixml.hpp>
#include <set>
#include <system_error>

#include "config/config_error.h"
#include "config/decimal.h"
#include "config/delimited_list.h"
#include "diagnostics/server_log.h"
#include "platform/paths.h"
#include "tunnel/client_mgr.h"

namespace murvik {

namespace fs = std::filesystem;

namespace {

// Paths whose last load failed; a save there keeps the broken file aside first.
std::mutex gFailedMutex;
std::set<std::string> gFailedPaths;

std::string PathKey(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::path(path), ec);
  return ec ? path : p.string();
}

void MarkFailed(const std::string& path, bool failed) {
  std::lock_guard lock(gFailedMutex);
  if (failed)
    gFailedPaths.insert(PathKey(path));
  else
    gFailedPaths.erase(PathKey(path));
}

bool LastLoadFailed(const std::string& path) {
  std::lock_guard lock(gFailedMutex);
  return gFailedPaths.count(PathKey(path)) != 0;
}

[[noreturn]] void Fail(const std::string& where, const std::string& why) { throw ConfigError(where + ": " + why); }

std::int32_t IntAttr(const pugi::xml_node& node, const char* name, const std::string& where) {
  pugi::xml_attribute a = node.attribute(name);
  if (!a) Fail(where, "missing attribute " + std::string(name));
  std::int32_t v = 0;
  if (!ParseDecimalInt32(a.value(), &v))
    Fail(where, "attribute " + std::string(name) + " \"" + a.value() + "\" is not a decimal integer");
  return v;
}

bool BoolAttr(const pugi::xml_node& node, const char* name, const std::string& where) {
  pugi::xml_attribute a = node.attribute(name);
  if (!a) return false;
  std::string v = a.value();
  for (char& c : v)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (v == "true") return true;
  if (v == "false") return false;
  Fail(where, "attribute " + std::string(name) + " \"" + a.value() + "\" is neither true nor false");
}

class StringWriter : public pugi::xml_writer {
 public:
  explicit StringWriter(std::string& out) : out_(out) {}
  void write(const void* data, std::size_t size) override { out_.append(static_cast<const char*>(data), size); }

 private:
  std::string& out_;
};

// A name beside path that does not exist yet: "<path>.bad", then "<path>.bad.1", ...
bool FreeBadName(const std::string& path, std::string* name) {
  for (int i = 0; i < 1000; ++i) {
    std::string candidate = path + ".bad" + (i == 0 ? std::string() : "." + std::to_string(i));
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(candidate, ec))) {
      *name = candidate;
      return true;
    }
  }
  return false;
}

}  // namespace

ConfigLoadResult LoadConfigBytes(const std::string& bytes, TClientMgr& mgr, TMainWindowState& state) {
  ConfigLoadResult result;
  pugi::xml_document doc;
  pugi::xml_parse_result parsed = doc.load_buffer(bytes.data(), bytes.size(), pugi::parse_default, pugi::encoding_auto);
  if (!parsed) {
    result.error = std::string("the configuration is not well-formed XML: ") + parsed.description() + " at offset " +
                   std::to_string(parsed.offset);
    return result;
  }
  pugi::xml_node root = doc.document_element();  // its name is not examined

  // Everything is built aside and only handed over when the whole file has been read.
  TMainWindowState next;
  std::vector<std::unique_ptr<TClient>> sessions;
  try {
    if (pugi::xml_node sys = root.child("SYS")) next.AUTOCONNECT = BoolAttr(sys, "AUTOCONNECT", "SYS");
    if (pugi::xml_node obj = root.child("OBJ")) {
      const std::int32_t count = IntAttr(obj, "COUNT", "OBJ");
      if (count < 0) Fail("OBJ", "COUNT " + std::to_string(count) + " is not a count");
      for (std::int32_t n = 0; n < count; ++n) {
        const std::string name = "IOSERVER" + std::to_string(n);
        pugi::xml_node element = obj.child(name.c_str());
        if (!element) Fail("OBJ", "missing element " + name);
        std::int32_t model = 0;
        if (element.attribute("MODEL")) {
          const std::int32_t code = IntAttr(element, "MODEL", name);
          if (code == 3) {
            model = 0;
          } else if (code == 4) {
            model = 1;
          } else {
            result.error = kUnsupportedModelText;
            result.unsupportedModel = true;
            return result;
          }
        } else {
          model = IntAttr(element, "MODEL2", name);
        }
        std::unique_ptr<TClient> session = TClientMgr::CreateIOServer(model);
        if (!session) Fail(name, "MODEL2 " + std::to_string(model) + " is not a known model");
        session->LoadConfig(element);
        sessions.push_back(std::move(session));
      }
      if (pugi::xml_attribute open = obj.attribute("OPENLIST")) {
        next.openList = ReadDelimitedText(open.value(), ';');
      } else {
        // No list kept: every module counts as open.
        std::string all;
        for (const auto& s : sessions) all += s->SN + ";";
        next.openList = ReadDelimitedText(all, ';');
      }
      if (pugi::xml_attribute groups = obj.attribute("GROUPLIST")) next.groupList = ReadDelimitedText(groups.value(), ';');
    }
  } catch (const ConfigError& e) {
    result.error = e.what();
    return result;
  }

  mgr.Clear();
  for (auto& s : sessions) mgr.Add(std::move(s));
  state = std::move(next);
  result.status = ConfigLoadResult::Loaded;
  return result;
}

ConfigLoadResult LoadConfigFile(const std::string& path, TClientMgr& mgr, TMainWindowState& state) {
  ConfigLoadResult result;
  if (!platform::FileExists(path)) {
    result.status = ConfigLoadResult::Missing;
    MarkFailed(path, false);
    return result;
  }
  std::string bytes;
  if (!platform::ReadFile(path, &bytes)) {
    result.error = "cannot read " + path;
  } else {
    result = LoadConfigBytes(bytes, mgr, state);
    if (result.status == ConfigLoadResult::Failed && !result.unsupportedModel) result.error = path + ": " + result.error;
  }
  MarkFailed(path, result.status == ConfigLoadResult::Failed);
  return result;
}

std::string SaveConfigBytes(const TClientMgr& mgr, const TMainWindowState& state) {
  pugi::xml_document doc;
  pugi::xml_node decl = doc.append_child(pugi::node_declaration);
  decl.append_attribute("version").set_value("1.0");
  decl.append_attribute("encoding").set_value("UTF-16");

  pugi::xml_node root = doc.append_child("ROOT");
  root.append_child("SYS").append_attribute("AUTOCONNECT").set_value(state.AUTOCONNECT ? "true" : "false");
  pugi::xml_node obj = root.append_child("OBJ");
  obj.append_attribute("COUNT").set_value(std::to_string(mgr.Count()).c_str());
  for (int n = 0; n < mgr.Count(); ++n) {
    const TClient* s = mgr.At(n);
    pugi::xml_node element = obj.append_child(("IOSERVER" + std::to_string(n)).c_str());
    element.append_attribute("MODEL2").set_value(std::to_string(s->model).c_str());
    s->SaveConfig(element);
  }
  std::string open;
  for (std::size_t i = 0; i < state.openList.size(); ++i) open += (i ? ";" : "") + state.openList[i];
  obj.append_attribute("OPENLIST").set_value(open.c_str());
  obj.append_attribute("GROUPLIST").set_value(WriteDelimitedText(state.groupList, ';').c_str());

  std::string bytes;
  StringWriter writer(bytes);
  doc.save(writer, "  ", pugi::format_indent | pugi::format_write_bom, pugi::encoding_utf16_le);
  return bytes;
}

bool SaveConfigFile(const std::string& path, const TClientMgr& mgr, const TMainWindowState& state, std::string* error,
                    std::string* info) {
  const std::string bytes = SaveConfigBytes(mgr, state);

  // A file we could not read is the user's data: keep it aside instead of replacing it.
  std::string badName;
  if (LastLoadFailed(path) && platform::FileExists(path)) {
    if (!FreeBadName(path, &badName)) {
      if (error) *error = "cannot find a free name to keep the unreadable " + path;
      return false;
    }
    std::error_code ec;
    fs::rename(path, badName, ec);
    if (ec) {
      if (error) *error = "cannot keep the unreadable " + path + " as " + badName + ": " + ec.message();
      return false;
    }
  }

  std::string writeError;
  if (!platform::WriteFileAtomic(path, bytes, 0600, &writeError)) {
    if (!badName.empty()) {
      std::error_code ec;
      fs::rename(badName, path, ec);  // put the broken file back; the next save tries again
    }
    if (error) *error = writeError;
    return false;
  }
  MarkFailed(path, false);
  if (!badName.empty()) {
    std::string text = "The configuration file " + path + " could not be loaded before; it was kept as " + badName;
    Log(3, text + "\r\n");
    if (info) *info = text;
  }
  return true;
}

std::string ConfigFilePath() { return platform::JoinPath(platform::ConfigDir(), "MURVIK3.xml"); }
std::string SettingsFilePath() { return platform::JoinPath(platform::ConfigDir(), "MURVIK3.INI"); }

}  // namespace murvik
