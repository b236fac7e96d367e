#pragma once

#include <QUrl>
#include <functional>

class QWidget;

namespace findlark {

// The browser behind the preview pane. It lives in a library of its own, loaded on the first
// preview, so that starting the window never maps the browser engine.
class PreviewEngine {
 public:
  virtual ~PreviewEngine() = default;
  // The widget that shows the page; a child of the parent given at creation.
  virtual QWidget* View() = 0;
  // Shows the local file `file`. Nothing else is ever loaded: no script runs, no other file
  // is read, no request leaves the machine.
  virtual void Load(const QUrl& file) = 0;
  // Larger (steps > 0) or smaller page; 0 for the normal size.
  virtual void Zoom(int steps) = 0;
};

// Called with the address of a link the user clicked in a previewed page.
using LinkHandler = std::function<void(const QUrl&)>;

// The library's one entry point, found by name.
using CreatePreviewEngineFn = PreviewEngine* (*)(QWidget* parent, LinkHandler onLink);
inline constexpr char kCreatePreviewEngineSymbol[] = "findlark_create_preview_engine";

}  // namespace findlark
