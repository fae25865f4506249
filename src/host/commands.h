#pragma once
// The command-line commands other than `serve`. Each returns the process exit code: 0 done,
// 1 failed, 2 bad usage (unknown key, invalid value, bad root). Results go to stdout,
// problems to stderr.

#include <filesystem>
#include <string>
#include <vector>

#include "host/clients.h"

namespace quillbox::host {

// `clients` empty: Claude Code for install; every client for uninstall.
int cmd_install(const std::filesystem::path& root, std::vector<Client> clients = {});
// The folder `install` sets up: `root_arg` when given; else the top level of the git work tree
// the current folder lies in, when that is another folder (then `said` tells the user), else
// the current folder (empty).
std::filesystem::path install_root(const std::filesystem::path& root_arg, std::string* said);
int cmd_uninstall(const std::filesystem::path& root, bool purge, std::vector<Client> clients = {});
int cmd_status(const std::filesystem::path& root);
int cmd_reindex(const std::filesystem::path& root, const std::vector<std::string>& paths);
int cmd_config_get(const std::filesystem::path& root, const std::string& key);
// With `shared`, in the team's quillbox.toml at the root instead of .quillbox/config.toml.
int cmd_config_set(const std::filesystem::path& root, const std::string& key, const std::string& value,
                   bool shared = false);
int cmd_config_unset(const std::filesystem::path& root, const std::string& key, bool shared = false);
int cmd_config_list(const std::filesystem::path& root);
// The known embedding models and where they are; marks the one the project at `root` uses.
int cmd_model_list(const std::filesystem::path& root);
// Downloads a model into the Hugging Face cache (with a progress bar on a terminal).
int cmd_model_pull(const std::string& name);

// The path of the running program (for the client registration).
std::filesystem::path current_executable();

// 1234567 -> "1,234,567"
std::string group_thousands(long long n);

}  // namespace quillbox::host
