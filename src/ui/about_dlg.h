#pragma once

#include <QColor>
#include <QDialog>
#include <QLabel>
#include <functional>
#include <string>

class QPushButton;

namespace findlark {

// A label that reports a left click released over it; it looks like any other label.
class ClickableLabel : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;

 signals:
  void clicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool pressed_ = false;
};

// The link's blue on `background`: pure blue, or a lighter one where that would be hard to read.
QColor LinkBlueOn(const QColor& background);

// The About box: program name and version, credit line, and the home page as a blue line
// of text that opens in the browser when clicked. Run it with exec().
class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  using UriOpener = std::function<void(const std::string& uri)>;

  // `opener` receives the address to open; by default it goes to the desktop's browser.
  explicit CAboutDlg(QWidget* parent = nullptr, UriOpener opener = {});
  ~CAboutDlg() override;

  static QString HomePage();      // as shown
  static QString HomePageLink();  // as opened: with an anchor naming the program

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void OnLinkClicked();
  void UpdateLinkColour();

  ClickableLabel* m_linkStatic = nullptr;
  QPushButton* m_okButton = nullptr;
  UriOpener m_opener;
};

}  // namespace findlark
