#include "platform/launcher.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <memory>

namespace findlark {
namespace {

// Owning handles so that every early return releases what GIO handed out.
struct GObjectUnref {
  void operator()(gpointer p) const { g_object_unref(p); }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
  void operator()(GError* e) const { g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;

// The soft limit on open files the process started with; RLIM_INFINITY: never kept.
rlim_t g_programsDescriptorLimit = RLIM_INFINITY;

// In the launched program's process, between fork and exec: only async-signal-safe calls.
void GiveBackDescriptorLimit(gpointer) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur <= g_programsDescriptorLimit) return;
  limit.rlim_cur = g_programsDescriptorLimit;
  setrlimit(RLIMIT_NOFILE, &limit);
}

bool Exists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

// The content type GIO gives the file: from its name and, when the name says nothing,
// from its first bytes. Folders come back as "inode/directory".
std::string ContentTypeOf(GFile* file) {
  GPtr<GFileInfo> info(g_file_query_info(file, G_FILE_ATTRIBUTE_STANDARD_CONTENT_TYPE,
                                         G_FILE_QUERY_INFO_NONE, nullptr, nullptr));
  if (!info) return {};
  const char* type = g_file_info_get_content_type(info.get());
  return type ? type : "";
}

// Starts `app` on exactly one URI (a local file as file://). GIO passes a local file's path
// bytes as one argument to a program that takes paths (no shell), the URI to one that takes
// URIs.
LaunchResult LaunchOn(GAppInfo* app, const char* uri) {
  GList uris{};
  uris.data = const_cast<char*>(uri);
  GError* raw = nullptr;
  const bool ok = G_IS_DESKTOP_APP_INFO(app)
                      ? g_desktop_app_info_launch_uris_as_manager(
                            G_DESKTOP_APP_INFO(app), &uris, nullptr, G_SPAWN_SEARCH_PATH,
                            GiveBackDescriptorLimit, nullptr, nullptr, nullptr, &raw)
                      : g_app_info_launch_uris(app, &uris, nullptr, &raw);
  ErrorPtr error(raw);
  return ok ? LaunchResult::kLaunched : LaunchResult::kFailed;
}

LaunchResult LaunchOn(GAppInfo* app, GFile* file) {
  std::unique_ptr<char, decltype(&g_free)> uri(g_file_get_uri(file), &g_free);
  return LaunchOn(app, uri.get());
}

LaunchResult LaunchWithDefaultFor(const char* contentType, const std::string& path) {
  if (!Exists(path)) return LaunchResult::kFailed;
  GPtr<GAppInfo> app(g_app_info_get_default_for_type(contentType, FALSE));
  if (!app) return LaunchResult::kNoAssociation;
  GPtr<GFile> file(g_file_new_for_path(path.c_str()));
  return LaunchOn(app.get(), file.get());
}

}  // namespace

LaunchResult OpenWithDefaultApp(const std::string& path) {
  if (!Exists(path)) return LaunchResult::kFailed;
  GPtr<GFile> file(g_file_new_for_path(path.c_str()));
  const std::string type = ContentTypeOf(file.get());
  if (type.empty()) return LaunchResult::kFailed;
  GPtr<GAppInfo> app(g_app_info_get_default_for_type(type.c_str(), FALSE));
  if (!app) return LaunchResult::kNoAssociation;
  return LaunchOn(app.get(), file.get());
}

LaunchResult OpenInTextEditor(const std::string& path) {
  const LaunchResult result = LaunchWithDefaultFor("text/plain", path);
  if (result != LaunchResult::kNoAssociation) return result;
  // No default, as on a fresh desktop: any installed application that says it takes text,
  // read from its own entry, so one the association cache has not indexed counts too.
  GList* apps = g_app_info_get_all();
  GAppInfo* editor = nullptr;
  for (GList* it = apps; it && !editor; it = it->next) {
    const char** types = g_app_info_get_supported_types(G_APP_INFO(it->data));
    for (; types && *types && !editor; ++types)
      if (g_strcmp0(*types, "text/plain") == 0) editor = G_APP_INFO(it->data);
  }
  LaunchResult launched = LaunchResult::kNoAssociation;
  if (editor) {
    GPtr<GFile> file(g_file_new_for_path(path.c_str()));
    launched = LaunchOn(editor, file.get());
  }
  g_list_free_full(apps, g_object_unref);
  return launched;
}

LaunchResult OpenFolder(const std::string& folder) {
  return LaunchWithDefaultFor("inode/directory", folder);
}

LaunchResult OpenUri(const std::string& uri) {
  std::unique_ptr<char, decltype(&g_free)> scheme(g_uri_parse_scheme(uri.c_str()), &g_free);
  if (!scheme) return LaunchResult::kFailed;
  GPtr<GAppInfo> app(g_app_info_get_default_for_uri_scheme(scheme.get()));
  if (!app) return LaunchResult::kNoAssociation;
  return LaunchOn(app.get(), uri.c_str());
}

void KeepDescriptorLimitForPrograms() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) g_programsDescriptorLimit = limit.rlim_cur;
}

}  // namespace findlark
