// The two configuration documents of the install root: loaded at start-up,
// handed out for reading and in-place editing, written back on request.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <rapidjson/document.h>

namespace zq_camera_service {

enum ConfigType {
  CONFIG_BASE = 0,     // "BaseConfig.json"
  CONFIG_VERSION = 1,  // "VersionConfig.json"
};

// File name of a document type; "" for a number outside the table.
std::string ConfigFileName(int type);

// How a configuration file write ended.
enum class ConfigWrite {
  kWritten,
  kNotOpened,   // the document could not be opened (errno set)
  kNotWritten,  // its lock was held elsewhere, or the new text could not replace it (errno set)
};

class ConfigManager {
 public:
  static ConfigManager* GetInstance();

  std::string GetConfigPathBy(ConfigType type);
  // 0 and the shared document in *document; -1 when the type has no document.
  int GetConfigBy(ConfigType type, rapidjson::Document** document);
  // Writes the stored document of the type to its file; 0 or -1.
  int UpdateConfigBy(ConfigType type, rapidjson::Document* document);
  // (Re)loads every document from `directory` (or from $ConfigPath).
  void LoadConfigs(std::string directory);

  // Replaces the file at `path` (or the file a link there leads to, the link
  // staying) with `text`, keeping its mode and owner, under the document's
  // exclusive lock, so that the file holds the old or the new complete text
  // at every moment. Logs nothing. UpdateConfigBy writes through it; a text
  // whose save failed can be saved again through it later.
  static ConfigWrite WriteConfigFile(const std::string& path, const std::string& text);

 private:
  ConfigManager();

  std::vector<ConfigType> configTypes;
  std::unordered_map<int, rapidjson::Document*> configDocuments;
  std::string configDirectory;

  // Documents handed out must stay valid after a reload, so every document
  // ever loaded is kept here for the life of the process.
  std::vector<std::unique_ptr<rapidjson::Document>> loadedDocuments;
  // Guards the table against a reload on the upgrade thread while start-up
  // reads it on the main thread.
  std::mutex tableMutex;
};

}  // namespace zq_camera_service
