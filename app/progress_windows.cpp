#include "app/progress_windows.h"

#include <QApplication>
#include <QDebug>
#include <QDesktopServices>
#include <QMetaObject>
#include <QThread>
#include <QUrl>

#include "app/language_table.h"
#include "app/message_box.h"
#include "ui/controls.h"
#include "ui/list.h"

namespace snapsave::app {

namespace {

QString Q(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Runs `fn` on the window's thread: at once when already there, else queued (dropped if the window is gone).
template <typename Fn>
void OnWindowThread(CPopUpWnd* window, Fn&& fn) {
  if (window == nullptr) return;
  if (QThread::currentThread() == window->thread()) {
    fn();
    return;
  }
  QMetaObject::invokeMethod(window, std::forward<Fn>(fn), Qt::QueuedConnection);
}

}  // namespace

WindowView::WindowView(CPopUpWnd& window, std::map<ViewLine, QString> controls)
    : window_(&window), controls_(std::move(controls)) {}

std::string WindowView::Message(std::string_view id) {
  if (!window_) return {};
  return window_->MessageText(QString::fromUtf8(id.data(), static_cast<qsizetype>(id.size()))).toStdString();
}

void WindowView::SetLine(ViewLine line, const std::string& text) {
  const auto it = controls_.find(line);
  if (it == controls_.end()) return;
  OnWindowThread(window_, [w = window_, name = it->second, text = Q(text)] {
    if (auto* c = w ? w->FindControl(name) : nullptr) c->SetText(text);
  });
}

void WindowView::ShowLine(ViewLine line, bool visible) {
  const auto it = controls_.find(line);
  if (it == controls_.end()) return;
  OnWindowThread(window_, [w = window_, name = it->second, visible] {
    if (auto* c = w ? w->FindControl(name) : nullptr) c->setVisible(visible);
  });
}

void WindowView::SetBar(int32_t percent) {
  OnWindowThread(window_, [w = window_, percent] {
    if (auto* bar = w ? w->Find<ui::CProgressUI>(QStringLiteral("progress")) : nullptr)
      bar->SetValue(percent);
  });
}

bool WindowView::AskYesNo(std::string_view messageId) {
  if (!window_) return false;
  const QString id = QString::fromUtf8(messageId.data(), static_cast<qsizetype>(messageId.size()));
  if (QThread::currentThread() == window_->thread()) return window_->Ask(id);
  // The worker waits for the answer; the window's thread keeps running (a cancel waits with a pump).
  bool yes = false;
  QMetaObject::invokeMethod(
      window_, [&] { yes = window_ && window_->Ask(id); }, Qt::BlockingQueuedConnection);
  return yes;
}

void WindowView::AddResult(const std::string& path, const std::string& outcome, bool failed) {
  OnWindowThread(window_, [w = window_, path = Q(path), outcome = Q(outcome), failed] {
    if (w) w->AddResultRow(path, outcome, failed);
  });
}

void WindowView::ShowFinished() {
  OnWindowThread(window_, [w = window_] {
    if (w) w->ShowFinished();
  });
}

void WindowView::NotifyOwner(uint32_t message) {
  OnWindowThread(window_, [w = window_, message] {
    if (w && w->onOwnerMessage) w->onOwnerMessage(message);
  });
}

void WindowView::Close(int32_t endCode) {
  OnWindowThread(window_, [w = window_, endCode] {
    if (w) w->Close(endCode);
  });
}

CPopUpWnd::CPopUpWnd(QString skinFile, QString className, QString languageSection, QString cancelMessage)
    : ui::CWindowUI(nullptr, Qt::Dialog),
      skinFile_(std::move(skinFile)),
      languageSection_(std::move(languageSection)),
      cancelMessage_(std::move(cancelMessage)) {
  setObjectName(className);
}

CPopUpWnd::~CPopUpWnd() = default;

bool CPopUpWnd::Create(QWidget* owner, int width, int height) {
  owner_ = owner;
  if (owner != nullptr) {
    setParent(owner, windowFlags() | Qt::Dialog);
  }
  QString error;
  if (!LoadLayout(skinFile_, &error)) {
    qWarning().noquote() << "progress window:" << error;
    return false;
  }
  resize(QSize(width, height).expandedTo(minimumSize()));
  CenterWindow();
  return true;
}

QString CPopUpWnd::MessageText(const QString& id) const {
  const auto it = messages_.find(id);
  return it == messages_.end() ? QString() : it->second;
}

void CPopUpWnd::ApplyLanguage(const QString& section) {
  LanguageTable::Instance().ApplyToWindow(this, section);
}

void CPopUpWnd::Notify(const ui::TNotifyUI& msg) {
  if (msg.type == QLatin1String("windowinit")) {
    // Copied once: the worker reads them on its own thread, and the table may insert keys it is asked for.
    messages_ = LanguageTable::Instance().GetSection(QStringLiteral("Messages"));
    ApplyLanguage(languageSection_);
    OnPrepare();
    return;
  }
  if (msg.type != QLatin1String("click")) return;
  if (msg.name.compare(QLatin1String("closebtn")) == 0 ||
      msg.name.compare(QLatin1String("cancelbtn"), Qt::CaseInsensitive) == 0) {
    OnCancel();
    return;
  }
  if (msg.name == QLatin1String("okbtn")) Close(1);
}

bool CPopUpWnd::Ask(const QString& messageId) {
  hide();
  const int answer =
      CMessageBox::Show(this, CMessageBox::Question, std::nullopt, MessageText(messageId), 350, 160);
  show();
  activateWindow();
  return answer == 1;
}

void CPopUpWnd::AddResultRow(const QString&, const QString&, bool) {}

bool CPopUpWnd::CancelSession() {
  Session* session = CurrentSession();
  if (session == nullptr) return true;
  session->SetWaitPump([] { QApplication::processEvents(QEventLoop::ExcludeUserInputEvents); });
  return session->RequestCancel(cancelMessage_.toStdString());
}

void CPopUpWnd::OnCancel() {
  // Without a session nothing runs: the window just closes. Otherwise the worker closes it with its code.
  if (CurrentSession() == nullptr)
    Close(2);
  else
    CancelSession();
}

CScanProcessWnd::CScanProcessWnd(std::vector<ScanTarget*> targets, bool deep, EngineMaker makeEngine)
    : CPopUpWnd(QStringLiteral("xml/ScanProcessWnd.xml"), QStringLiteral("UIScanProcessWnd"),
                QStringLiteral("ScanWnd"), QStringLiteral("MSG0709")),
      targets_(std::move(targets)),
      deep_(deep),
      makeEngine_(std::move(makeEngine)),
      view_(*this, {{ViewLine::kStage, QStringLiteral("stage")},
                    {ViewLine::kPercent, QStringLiteral("percent")},
                    {ViewLine::kTime, QStringLiteral("time")},
                    {ViewLine::kSectors, QStringLiteral("sectors")},
                    {ViewLine::kFiles, QStringLiteral("totalfile")}}) {}

CScanProcessWnd::~CScanProcessWnd() {
  session_.reset();
}

void CScanProcessWnd::OnPrepare() {
  session_ = std::make_unique<ScanSession>(view_, targets_, deep_, makeEngine_);
  session_->Start();
}

CSearchProcessWnd::CSearchProcessWnd(std::vector<ScanTarget*> targets, std::string extensionList,
                                     RecordList& results)
    : CPopUpWnd(QStringLiteral("xml/SearchProcessWnd.xml"), QStringLiteral("UISearchProcessWnd"),
                QStringLiteral("SearchProcessWnd"), QStringLiteral("MSG1205")),
      targets_(std::move(targets)),
      extensionList_(std::move(extensionList)),
      results_(results),
      view_(*this,
            {{ViewLine::kStage, QStringLiteral("stage")}, {ViewLine::kPercent, QStringLiteral("percent")}}) {}

CSearchProcessWnd::~CSearchProcessWnd() {
  session_.reset();
}

void CSearchProcessWnd::OnPrepare() {
  session_ = std::make_unique<SearchSession>(view_, targets_, extensionList_, results_);
  session_->Start();
}

CVolumeSearchWnd::CVolumeSearchWnd(std::filesystem::path disk, bool isImage, std::vector<FoundVolume>& found,
                                   uint32_t& error)
    : CPopUpWnd(QStringLiteral("xml/VolumeSearchWnd.xml"), QStringLiteral("UIVolumeSearchWnd"),
                QStringLiteral("VolumeSearchWnd"), QStringLiteral("MSG0226")),
      disk_(std::move(disk)),
      isImage_(isImage),
      found_(found),
      error_(error),
      view_(*this,
            {{ViewLine::kStage, QStringLiteral("stage")}, {ViewLine::kPercent, QStringLiteral("percent")}}) {}

CVolumeSearchWnd::~CVolumeSearchWnd() {
  session_.reset();
}

void CVolumeSearchWnd::OnPrepare() {
  session_ = std::make_unique<VolumeSearchSession>(view_, disk_, isImage_, found_, error_);
  session_->Start();
}

CPreviewProcessWnd::CPreviewProcessWnd(std::vector<ScanTarget*> targets, const FoundFileRecord& record,
                                       size_t capacity, PreviewResult& result, std::function<void()> release)
    : CPopUpWnd(QStringLiteral("xml/PreviewProcessWnd.xml"), QStringLiteral("UIPreviewProcessWnd"),
                QStringLiteral("PreviewProcessWnd"), QStringLiteral("MSG0903")),
      targets_(std::move(targets)),
      record_(record),
      capacity_(capacity),
      result_(result),
      release_(std::move(release)),
      view_(*this, {{ViewLine::kPercent, QStringLiteral("percent")}}) {}

CPreviewProcessWnd::~CPreviewProcessWnd() {
  session_.reset();
}

void CPreviewProcessWnd::OnPrepare() {
  const QString name = Q(std::string(record_.Name()));
  if (auto* c = FindControl(QStringLiteral("FileName"))) c->SetText(name);
  if (auto* c = FindControl(QStringLiteral("stage")))
    c->SetText(MessageText(QStringLiteral("MSG0902")) + " " + name);
  session_ = std::make_unique<PreviewSession>(view_, targets_, record_, capacity_, result_, release_);
  session_->Start();
}

CRecoverProcessWnd::CRecoverProcessWnd(std::vector<ScanTarget*> targets, std::filesystem::path destination,
                                       std::vector<RecoveryItem> selection, RecoverySession::Mode mode)
    : CPopUpWnd(QStringLiteral("xml/RecoverProcessWnd.xml"), QStringLiteral("UIRecoverProcessWnd"),
                QStringLiteral("RecoverProcessWnd"), QStringLiteral("MSG1103")),
      targets_(std::move(targets)),
      destination_(std::move(destination)),
      selection_(std::move(selection)),
      mode_(mode),
      view_(*this, {{ViewLine::kPercent, QStringLiteral("percent")},
                    {ViewLine::kCurrentFile, QStringLiteral("current")},
                    {ViewLine::kCount, QStringLiteral("recovered")}}) {}

CRecoverProcessWnd::~CRecoverProcessWnd() {
  session_.reset();
}

void CRecoverProcessWnd::OnPrepare() {
  session_ = std::make_unique<RecoverySession>(view_, targets_, destination_, selection_, mode_);
  // Several files: a report beside them of what was written, with hashes and what could not be read.
  if (mode_ == RecoverySession::Mode::kMultiple) {
    std::string source;
    for (const ScanTarget* t : targets_) {
      const std::string one = !t->imagePath.empty() ? t->imagePath.string()
                              : t->volume           ? t->volume->diskPath
                                                    : std::string();
      if (!one.empty() && source.find(one) == std::string::npos) source += (source.empty() ? "" : ", ") + one;
    }
    session_->WriteReport({"snapsave", SNAPSAVE_VERSION, {}, source, 512});
  }
  session_->Start();
}

void CRecoverProcessWnd::Notify(const ui::TNotifyUI& msg) {
  if (msg.type == QLatin1String("windowinit")) {
    CPopUpWnd::Notify(msg);
    return;
  }
  if (msg.type == QLatin1String("click")) {
    if (msg.name == QLatin1String("FinishBtn")) {
      Close(1);
      return;
    }
    if (msg.name == QLatin1String("OpenBtn")) {
      QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(destination_.string())));
      return;
    }
    if (msg.name == QLatin1String("DetailBtn")) {
      ToggleDetail();
      return;
    }
  }
  CPopUpWnd::Notify(msg);
}

void CRecoverProcessWnd::ToggleDetail() {
  auto* list = FindControl(QStringLiteral("DetailList"));
  if (!detailOpen_) {
    initialSize_ = size();
    resize(width() + 150, height() + 300);
    if (list != nullptr) list->setVisible(true);
  } else {
    if (list != nullptr) list->setVisible(false);
    resize(initialSize_);
  }
  detailOpen_ = !detailOpen_;
}

void CRecoverProcessWnd::AddResultRow(const QString& path, const QString& outcome, bool failed) {
  auto* list = Find<ui::CListUI>(QStringLiteral("DetailList"));
  if (list == nullptr) return;
  ui::ListRow row;
  row.cells.resize(2);
  // The destination is shown once above; here the file's place in it keeps the name in sight.
  const std::filesystem::path relative =
      std::filesystem::path(path.toStdString()).lexically_relative(destination_);
  const bool inside = !relative.empty() && *relative.begin() != "..";
  row.cells[0].text = inside ? Q(relative.generic_string()) : path;
  row.cells[1].text = outcome;
  row.cells[1].align = Qt::AlignCenter;
  if (failed) {
    row.textColor = QColor(0xFF, 0x00, 0x00);
    list->InsertRow(0, std::move(row));
  } else {
    list->AddRow(std::move(row));
  }
}

void CRecoverProcessWnd::ShowFinished() {
  // "Please wait" no longer holds once every file is handled; a run the source ended says so, and how to go
  // on.
  const QString done =
      session_ != nullptr && session_->SourceGone() ? QStringLiteral("MSG1106") : QStringLiteral("MSG1104");
  if (auto* c = FindControl(QStringLiteral("stage")); c != nullptr && !MessageText(done).isEmpty())
    c->SetText(MessageText(done));
  if (auto* c = FindControl(QStringLiteral("current")); c != nullptr && done == QStringLiteral("MSG1106"))
    c->SetText(MessageText(QStringLiteral("MSG1107")));
  if (auto* c = FindControl(QStringLiteral("FinishBtn"))) c->setVisible(true);
  if (auto* c = FindControl(QStringLiteral("CancelBtn"))) c->setVisible(false);
}

void CRecoverProcessWnd::OnCancel() {
  // Finished: nothing to ask.
  if (auto* finish = FindControl(QStringLiteral("FinishBtn")); finish != nullptr && finish->IsVisible()) {
    Close(1);
    return;
  }
  if (CancelSession()) Close(2);
}

CCreateImageProcessWnd::CCreateImageProcessWnd(std::filesystem::path imagePath,
                                               std::vector<ScanTarget*> targets,
                                               std::filesystem::path wholeDisk)
    : CPopUpWnd(QStringLiteral("xml/CreateImageProcessWnd.xml"), QStringLiteral("UIScanProcessWnd"),
                QStringLiteral("CreateImageWnd"), QStringLiteral("MSG0306")),
      imagePath_(std::move(imagePath)),
      targets_(std::move(targets)),
      wholeDisk_(std::move(wholeDisk)),
      view_(*this, {{ViewLine::kStage, QStringLiteral("stage")},
                    {ViewLine::kPercent, QStringLiteral("percent")},
                    {ViewLine::kTime, QStringLiteral("time")},
                    {ViewLine::kSectors, QStringLiteral("sectors")},
                    {ViewLine::kCount, QStringLiteral("rescued")}}) {}

CCreateImageProcessWnd::~CCreateImageProcessWnd() {
  session_.reset();
}

void CCreateImageProcessWnd::OnPrepare() {
  session_ = std::make_unique<ImageSession>(view_, imagePath_, targets_, wholeDisk_);
  session_->Start();
}

}  // namespace snapsave::app
