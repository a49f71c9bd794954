// The five progress windows: small modal windows that run one session each, show its reports and let the user
// cancel. Workers never touch a widget: every report reaches the window as a queued call on its thread.
#pragma once

#include <QPointer>
#include <QSize>
#include <QString>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sessions/image_session.h"
#include "sessions/recovery_session.h"
#include "sessions/scan_session.h"
#include "sessions/volume_search_session.h"
#include "ui/window.h"

namespace snapsave::app {

class CPopUpWnd;

// The session view of a progress window: lines map to named controls, questions become message boxes.
class WindowView : public ProgressView {
 public:
  WindowView(CPopUpWnd& window, std::map<ViewLine, QString> controls);

  std::string Message(std::string_view id) override;
  void SetLine(ViewLine line, const std::string& text) override;
  void ShowLine(ViewLine line, bool visible) override;
  void SetBar(int32_t percent) override;
  bool AskYesNo(std::string_view messageId) override;
  void AddResult(const std::string& path, const std::string& outcome, bool failed) override;
  void ShowFinished() override;
  void NotifyOwner(uint32_t message) override;
  void Close(int32_t endCode) override;

 private:
  QPointer<CPopUpWnd> window_;
  std::map<ViewLine, QString> controls_;
};

// Base of the progress windows: layout, language section, the Messages texts, and the cancel path.
class CPopUpWnd : public ui::CWindowUI {
 public:
  CPopUpWnd(QString skinFile, QString className, QString languageSection, QString cancelMessage);
  ~CPopUpWnd() override;

  // Loads the layout (which prepares the window and starts its worker), sizes and centres it.
  virtual bool Create(QWidget* owner, int width, int height);
  virtual void Release() { delete this; }

  // A Messages text; safe from any thread (the texts are copied when the window initialises).
  QString MessageText(const QString& id) const;
  // Where owner messages go (0x401 scan done, 0x402 search done); the main window connects here.
  std::function<void(uint32_t)> onOwnerMessage;

  void Notify(const ui::TNotifyUI& msg) override;

  // For the view: runs on the window's thread.
  bool Ask(const QString& messageId);
  virtual void AddResultRow(const QString& path, const QString& outcome, bool failed);
  virtual void ShowFinished() {}

 protected:
  virtual void OnPrepare() = 0;
  virtual void ApplyLanguage(const QString& section);
  // The cancel and close buttons: ask, and on Yes stop the worker.
  virtual void OnCancel();
  virtual Session* CurrentSession() = 0;
  // Asks and, on Yes, stops the worker while the event loop keeps running; false when not cancelled.
  bool CancelSession();

  QPointer<QWidget> owner_;
  QString skinFile_;
  QString languageSection_;
  QString cancelMessage_;
  std::map<QString, QString> messages_;
};

class CScanProcessWnd final : public CPopUpWnd {
 public:
  CScanProcessWnd(std::vector<ScanTarget*> targets, bool deep, EngineMaker makeEngine);
  ~CScanProcessWnd() override;
  // Each scanned target's result, once the window has closed.
  std::vector<int32_t> Results() const { return session_ ? session_->Results() : std::vector<int32_t>{}; }
  std::optional<int32_t> StoppedAt() const { return session_ ? session_->StoppedAt() : std::nullopt; }

 protected:
  void OnPrepare() override;
  Session* CurrentSession() override { return session_.get(); }

 private:
  std::vector<ScanTarget*> targets_;
  bool deep_;
  EngineMaker makeEngine_;
  WindowView view_;
  std::unique_ptr<ScanSession> session_;
};

class CSearchProcessWnd final : public CPopUpWnd {
 public:
  CSearchProcessWnd(std::vector<ScanTarget*> targets, std::string extensionList, RecordList& results);
  ~CSearchProcessWnd() override;

 protected:
  void OnPrepare() override;
  Session* CurrentSession() override { return session_.get(); }

 private:
  std::vector<ScanTarget*> targets_;
  std::string extensionList_;
  RecordList& results_;
  WindowView view_;
  std::unique_ptr<SearchSession> session_;
};

// Reads a whole disk or disk image for volumes its partition table does not name.
class CVolumeSearchWnd final : public CPopUpWnd {
 public:
  CVolumeSearchWnd(std::filesystem::path disk, bool isImage, std::vector<FoundVolume>& found,
                   uint32_t& error);
  ~CVolumeSearchWnd() override;

 protected:
  void OnPrepare() override;
  Session* CurrentSession() override { return session_.get(); }

 private:
  std::filesystem::path disk_;
  bool isImage_;
  std::vector<FoundVolume>& found_;
  uint32_t& error_;
  WindowView view_;
  std::unique_ptr<VolumeSearchSession> session_;
};

class CPreviewProcessWnd final : public CPopUpWnd {
 public:
  CPreviewProcessWnd(std::vector<ScanTarget*> targets, const FoundFileRecord& record, size_t capacity,
                     PreviewResult& result, std::function<void()> releaseTemporaryFile = {});
  ~CPreviewProcessWnd() override;

 protected:
  void OnPrepare() override;
  Session* CurrentSession() override { return session_.get(); }

 private:
  std::vector<ScanTarget*> targets_;
  FoundFileRecord record_;
  size_t capacity_;
  PreviewResult& result_;
  std::function<void()> release_;
  WindowView view_;
  std::unique_ptr<PreviewSession> session_;
};

class CRecoverProcessWnd final : public CPopUpWnd {
 public:
  CRecoverProcessWnd(std::vector<ScanTarget*> targets, std::filesystem::path destination,
                     std::vector<RecoveryItem> selection,
                     RecoverySession::Mode mode = RecoverySession::Mode::kMultiple);
  ~CRecoverProcessWnd() override;

  void Notify(const ui::TNotifyUI& msg) override;
  void AddResultRow(const QString& path, const QString& outcome, bool failed) override;
  void ShowFinished() override;
  RecoverySession::Counters Totals() { return session_ ? session_->Totals() : RecoverySession::Counters{}; }
  bool DetailOpen() const { return detailOpen_; }

 protected:
  void OnPrepare() override;
  void OnCancel() override;
  Session* CurrentSession() override { return session_.get(); }

 private:
  void ToggleDetail();

  std::vector<ScanTarget*> targets_;
  std::filesystem::path destination_;
  std::vector<RecoveryItem> selection_;
  RecoverySession::Mode mode_;
  WindowView view_;
  std::unique_ptr<RecoverySession> session_;
  QSize initialSize_;
  bool detailOpen_ = false;
};

class CCreateImageProcessWnd final : public CPopUpWnd {
 public:
  CCreateImageProcessWnd(std::filesystem::path imagePath, std::vector<ScanTarget*> targets,
                         std::filesystem::path wholeDisk);
  ~CCreateImageProcessWnd() override;

  int32_t Result() const { return session_ ? session_->Result() : 0; }
  std::string BadSectorSummary() const {
    return session_ ? DescribeBadSectors(session_->Writer()) : std::string();
  }

 protected:
  void OnPrepare() override;
  Session* CurrentSession() override { return session_.get(); }

 private:
  std::filesystem::path imagePath_;
  std::vector<ScanTarget*> targets_;
  std::filesystem::path wholeDisk_;  // its device; empty when the first target is copied
  WindowView view_;
  std::unique_ptr<ImageSession> session_;
};

}  // namespace snapsave::app
