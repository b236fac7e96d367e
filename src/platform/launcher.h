#pragma once

#include <string>

namespace findlark {

enum class LaunchResult {
  kLaunched,
  kNoAssociation,  // no application handles the file's type: the caller may offer the editor
  kFailed,         // anything else (missing file, the application would not start)
};

// All take paths as bytes and hand them to GIO as one argument; no shell is involved.
LaunchResult OpenWithDefaultApp(const std::string& path);  // by the file's content type
// The default app for text/plain, else any installed one; kNoAssociation when there is none.
LaunchResult OpenInTextEditor(const std::string& path);
LaunchResult OpenFolder(const std::string& folder);  // the default app for folders
LaunchResult OpenUri(const std::string& uri);        // a web address, in the browser

// Called before the process lifts its own limit on open files: programs launched get the
// limit it had, which is what the desktop gives them (a program that waits with select()
// breaks on a descriptor past 1024).
void KeepDescriptorLimitForPrograms();

}  // namespace findlark
