// The browser behind the preview pane, built as a library of its own (see preview_engine.h).
//
// Every file previewed was found on disk and may come from anyone, so the page is shown but
// never run: no script, no plugin, no pop-up, no download, no request for anything but the
// file itself. A link the user clicks goes to the desktop's browser, never into the pane.

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QPointer>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QWebEngineDownloadRequest>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInfo>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>
#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "ui/preview_engine.h"

namespace findlark {
namespace {

QUrl WithoutFragment(const QUrl& url) {
  return url.adjusted(QUrl::RemoveFragment);
}

// Lets through the request for the previewed file as the page itself, and nothing else:
// not its pictures or style sheets, not other local files, nothing remote.
class OnlyThePage : public QWebEngineUrlRequestInterceptor {
 public:
  void Allow(const QUrl& file) { allowed_ = WithoutFragment(file); }

  void interceptRequest(QWebEngineUrlRequestInfo& info) override {
    const bool thePage = info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeMainFrame &&
                         !allowed_.isEmpty() && WithoutFragment(info.requestUrl()) == allowed_;
    info.block(!thePage);
  }

 private:
  QUrl allowed_;
};

// Stands in for a window a link asked for (target="_blank", a middle click): the link goes
// to the desktop's browser, and the page is gone.
class LinkCatcher : public QWebEnginePage {
 public:
  LinkCatcher(QWebEngineProfile* profile, LinkHandler onLink, QObject* parent)
      : QWebEnginePage(profile, parent), onLink_(std::move(onLink)) {}

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool) override {
    if (type == NavigationTypeLinkClicked && onLink_) onLink_(url);
    deleteLater();
    return false;
  }

 private:
  LinkHandler onLink_;
};

class PreviewPage : public QWebEnginePage {
 public:
  PreviewPage(QWebEngineProfile* profile, LinkHandler onLink, QObject* parent)
      : QWebEnginePage(profile, parent), onLink_(std::move(onLink)) {}

  void Allow(const QUrl& file) { allowed_ = WithoutFragment(file); }

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override {
    const bool samePage = WithoutFragment(url) == allowed_;
    if (type == NavigationTypeLinkClicked) {
      // A jump within the page stays in the pane; any other link is the user's to follow.
      if (isMainFrame && samePage) return true;
      if (onLink_) onLink_(url);
      return false;
    }
    // Only what the program asked for; no redirect, form, frame or history step.
    return isMainFrame && samePage && (type == NavigationTypeTyped || type == NavigationTypeReload);
  }

  // No page ever raises a dialog, should a script run after all.
  void javaScriptAlert(const QUrl&, const QString&) override {}
  bool javaScriptConfirm(const QUrl&, const QString&) override { return false; }
  bool javaScriptPrompt(const QUrl&, const QString&, const QString&, QString*) override {
    return false;
  }

  // What a page has to say goes nowhere: it is not ours to print.
  void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString&, int,
                                const QString&) override {}

  QWebEnginePage* createWindow(WebWindowType) override {
    return new LinkCatcher(profile(), onLink_, this);
  }

 private:
  LinkHandler onLink_;
  QUrl allowed_;
};

// The engine draws through a hidden top-level window of its own, titled "Offscreen", which a
// screen reader would list beside the real window. As a pop-up it is left out of that list; it
// is never shown either way.
void HideEngineWindows() {
  for (QWindow* window : QGuiApplication::topLevelWindows()) {
    if (qobject_cast<QQuickWindow*>(window) && !window->isVisible() &&
        window->title() == QLatin1String("Offscreen") && window->type() != Qt::Popup)
      window->setFlag(Qt::Popup);
  }
}

void LockDown(QWebEngineSettings* s) {
  using S = QWebEngineSettings;
  for (const auto off : {S::JavascriptEnabled,
                         S::JavascriptCanOpenWindows,
                         S::JavascriptCanAccessClipboard,
                         S::JavascriptCanPaste,
                         S::LocalStorageEnabled,
                         S::LocalContentCanAccessRemoteUrls,
                         S::LocalContentCanAccessFileUrls,
                         S::HyperlinkAuditingEnabled,
                         S::PluginsEnabled,
                         S::PdfViewerEnabled,
                         S::FullScreenSupportEnabled,
                         S::ScreenCaptureEnabled,
                         S::WebGLEnabled,
                         S::Accelerated2dCanvasEnabled,
                         S::AutoLoadIconsForPage,
                         S::TouchIconsEnabled,
                         S::FocusOnNavigationEnabled,
                         S::AllowRunningInsecureContent,
                         S::AllowGeolocationOnInsecureOrigins,
                         S::AllowWindowActivationFromJavaScript,
                         S::DnsPrefetchEnabled,
                         S::NavigateOnDropEnabled}) {
    s->setAttribute(off, false);
  }
  // A restriction when on: were WebRTC ever reached, it would reveal no local address.
  s->setAttribute(S::WebRTCPublicInterfacesOnly, true);
  // Custom schemes (mailto:, apt:, steam:...) reach the page's link handler only when the user
  // clicked them, and go no further unless it passes them on; with a plain "disallow" a
  // clicked mailto: link would never reach it.
  s->setUnknownUrlSchemePolicy(S::AllowUnknownUrlSchemesFromUserInteraction);
}

class WebPreview : public PreviewEngine {
 public:
  WebPreview(QWidget* parent, LinkHandler onLink) {
    // An off-the-record profile: nothing of a previewed page is kept on disk.
    profile_ = std::make_unique<QWebEngineProfile>();
    profile_->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
    profile_->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
    profile_->setUrlRequestInterceptor(&interceptor_);
    LockDown(profile_->settings());
    QObject::connect(profile_.get(), &QWebEngineProfile::downloadRequested,
                     [](QWebEngineDownloadRequest* download) { download->cancel(); });

    view_ = new QWebEngineView(parent);
    view_->setContextMenuPolicy(Qt::NoContextMenu);
    page_ = new PreviewPage(profile_.get(), std::move(onLink), view_);
    LockDown(page_->settings());
    view_->setPage(page_);
    QObject::connect(page_, &QWebEnginePage::loadStarted, [] { HideEngineWindows(); });
    QObject::connect(page_, &QWebEnginePage::loadFinished, [] { HideEngineWindows(); });
  }

  ~WebPreview() override {
    // Pages go before their profile, or the engine complains and may crash.
    delete view_.data();
  }

  QWidget* View() override { return view_; }

  void Load(const QUrl& file) override {
    interceptor_.Allow(file);
    page_->Allow(file);
    page_->load(file);
    HideEngineWindows();
  }

  void Zoom(int steps) override {
    view_->setZoomFactor(
        steps == 0 ? 1.0 : std::clamp(view_->zoomFactor() * std::pow(1.2, steps), 0.25, 5.0));
  }

 private:
  OnlyThePage interceptor_;  // outlives the profile that uses it
  std::unique_ptr<QWebEngineProfile> profile_;
  QPointer<QWebEngineView> view_;
  PreviewPage* page_ = nullptr;
};

}  // namespace
}  // namespace findlark

extern "C" __attribute__((visibility("default"))) findlark::PreviewEngine*
findlark_create_preview_engine(QWidget* parent, findlark::LinkHandler onLink) {
  // The page is drawn in software, into the window as it is: a GL scene would make Qt remake
  // the top-level window at the first preview, and the window would need GL from its start.
  static const bool once = [] {
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    // The engine reports its GL choice on every start; software is our choice, not news.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false"));
    return true;
  }();
  (void)once;
  return new findlark::WebPreview(parent, std::move(onLink));
}
