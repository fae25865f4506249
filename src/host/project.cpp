#include "host/project.h"

#include <fmt/format.h>

#include <system_error>

#include "host/embeddings.h"
#include "host/log.h"
#include "quillbox/detail/confine.h"
#include "quillbox/detail/file_key.h"
#include "quillbox/i18n.h"

namespace fs = std::filesystem;

namespace quillbox::host {

void check_data_folder(const fs::path& root, const fs::path& data_dir) {
    auto refuse_link_out = [&](const fs::path& p) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(p, ec))) return;
        const fs::path real = fs::canonical(p, ec);
        if (!ec && path_is_within(real, root)) return;
        const fs::path target = ec ? fs::read_symlink(p, ec) : real;
        throw DataFolderOutsideError(get_message("data_folder_outside", {{"path", p}, {"target", target}}));
    };
    refuse_link_out(data_dir);
    for (const char* entry : {"backups", "locks", "vectors", "index.db-wal", "index.db-shm", "index.db-journal",
                              "activity.db", "activity.db-wal", "activity.db-shm", "install_secret", "config.toml",
                              "install.json"})
        refuse_link_out(data_dir / entry);
}

Project open_project(const fs::path& root_arg, bool create_data_dir) {
    std::error_code ec;
    fs::path root = root_arg.empty() ? fs::current_path() : root_arg;
    fs::path canonical = fs::canonical(root, ec);
    if (ec) throw UsageError(fmt::format("project root {} does not exist ({})", root.string(), ec.message()));
    if (!fs::is_directory(canonical, ec))
        throw UsageError(fmt::format("project root {} is not a directory", canonical.string()));

    Project project;
    project.root = canonical;
    project.data_dir = data_dir_of(canonical);
    check_data_folder(project.root, project.data_dir);
    if (create_data_dir) {
        for (const auto& dir : {project.data_dir, project.data_dir / "backups", project.data_dir / "vectors"}) {
            fs::create_directories(dir, ec);
            if (ec)
                throw UsageError(fmt::format("cannot create {} ({})", dir.string(), ec.message()));
        }
    }
    try {
        project.config = std::make_shared<Config>(load_project_config(canonical));
    } catch (const ConfigFileError& e) {
        throw UsageError(fmt::format("the configuration is not valid TOML: {}", e.what()));
    }
    for (const auto& w : project.config->warnings()) log_line(Level::warning, "{}", w);
    return project;
}

void install_process_settings(const Project& project) {
    install_log_sink();
    set_log_level(parse_log_level(project.config->get("log_level")));
    set_language(project.config->get("language"));
    // Checked again whenever a file under the root is opened, so that a link swapped in after
    // the path was resolved cannot lead a read or a write outside.
    detail::set_confinement_root(project.config->get_bool("allow_outside_root") ? fs::path() : project.root);
}

std::shared_ptr<EmbeddingProvider> project_embedding_provider(const Project& project) {
    auto provider = make_embedding_provider(*project.config);
    if (auto* remote = dynamic_cast<OpenAIEmbeddingProvider*>(provider.get())) {
        if (remote->settings().endpoint.empty() || remote->settings().model.empty())
            log_line(Level::warning, "semantic.backend is openai, but semantic.endpoint or semantic.endpoint_model "
                                     "is not set; md_search_blocks will fail until both are");
        else
            log_line(Level::info, "semantic search embeds through {} (model {})", remote->url(),
                     remote->settings().model);
    }
    return provider;
}

std::unique_ptr<Session> open_session(const Project& project, Indexer& index, FileWatcher& watcher,
                                      SafetyEngine& safety, std::shared_ptr<EmbeddingProvider> embeddings) {
    auto session = std::make_unique<Session>(index, watcher, safety);
    session->paths =
        std::make_shared<ProjectPathResolver>(project.root, project.config->get_bool("allow_outside_root"));
    session->config = project.config;
    session->cache = std::make_shared<SessionReadCache>(project.config);
    session->embeddings = std::move(embeddings);
    session->data_dir = project.data_dir;
    return session;
}

CacheResult SessionReadCache::check(std::string_view path_text) {
    CacheResult r = inner_.check(path_text);
    if (r.status == "hit" && config_->get("cache_enabled") != "true") r.status = "miss";
    return r;
}

bool path_is_within(const fs::path& path, const fs::path& dir) {
    return detail::path_within(path, dir);
}

}  // namespace quillbox::host
