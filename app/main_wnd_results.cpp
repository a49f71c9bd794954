// The main window's result page: the type tree and file list, checks, preview and recovery.
#include "app/main_wnd.h"
#include "app/main_wnd_shared.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QThread>
#include <QUrl>

#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "app/message_box.h"
#include "app/preview.h"
#include "app/progress_windows.h"
#include "catalog/found_file_catalogue.h"
#include "engines/deep_scan_engine.h"
#include "os/device.h"
#include "os/sysfs.h"
#include "os/volume_space.h"
#include "sessions/session.h"
#include "ui/controls.h"
#include "ui/menu.h"

namespace snapsave::app {

namespace fs = std::filesystem;
using namespace wnd;

void CMainWnd::OnResultsReady(RecordList found) {
  if (fileList_ != nullptr) fileList_->RemoveAll();
  for (const char* name : {"PreviewEdit", "PreviewFacts"})
    if (auto* box = Find<ui::CRichEditUI>(QString::fromLatin1(name))) box->Clear();
  searchResult_.clear();
  shown_.clear();
  std::map<QString, RecordList> byType;
  for (const FoundFileRecord& record : found) byType[ResultKey(record)].push_back(record);
  for (auto& [key, records] : byType)
    searchResult_[key] = std::make_shared<const RecordList>(std::move(records));
  Enable(QStringLiteral("TabRecover"), true);
  currentTypeNode_.clear();
  SelectStep(kResultPage);
  FillTree();
}

void CMainWnd::ApplyFilter() {
  filterTimer_->stop();
  RecordFilter filter;
  filter.state = chosenState_;
  // A bound that cannot be read turns its field red and bounds nothing.
  auto field = [this](const char* name, auto parse) -> decltype(parse(std::string_view{})) {
    auto* edit = Find<ui::CEditUI>(Q(name));
    if (edit == nullptr) return std::nullopt;
    const std::string text = edit->Text().trimmed().toStdString();
    const auto value = text.empty() ? std::nullopt : parse(text);
    QPalette palette = edit->Editor()->palette();
    palette.setColor(QPalette::Text, !text.empty() && !value ? QColor(0xD0, 0x30, 0x30) : edit->TextColor());
    edit->Editor()->setPalette(palette);
    return value;
  };
  if (auto* name = Find<ui::CEditUI>(QStringLiteral("FilterName"))) filter.name = name->Text().toStdString();
  filter.minSize = field("FilterMinSize", [](std::string_view t) { return ParseSizeText(t); });
  filter.maxSize = field("FilterMaxSize", [](std::string_view t) { return ParseSizeText(t); });
  filter.fromTime = field("FilterFrom", [](std::string_view t) { return ParseDateText(t, false); });
  filter.toTime = field("FilterTo", [](std::string_view t) { return ParseDateText(t, true); });
  const bool same = filter.name == filter_.name && filter.minSize == filter_.minSize &&
                    filter.maxSize == filter_.maxSize && filter.fromTime == filter_.fromTime &&
                    filter.toTime == filter_.toTime && filter.state == filter_.state && !shown_.empty();
  filter_ = std::move(filter);
  if (!same && !searchResult_.empty()) FillTree();
}

void CMainWnd::FillTree() {
  if (tree_ == nullptr) return;
  shown_.clear();
  for (const auto& [key, records] : searchResult_) {
    if (filter_.IsEmpty()) {
      shown_[key] = records;
      continue;
    }
    RecordList kept;
    for (const FoundFileRecord& record : *records)
      if (filter_.Matches(record)) kept.push_back(record);
    shown_[key] = std::make_shared<const RecordList>(std::move(kept));
  }
  std::vector<CFileTreeUI::TypeOption> options;
  for (size_t g = 0; g < std::size(kTypeGroups); ++g) {
    for (ui::COptionUI* option : GroupOptions(FindControl(Q(kTypeGroups[g])))) {
      for (const QString& ext : ExtensionsOf(option)) {
        const auto chosen = chosenTypes_.find(ext);
        if (chosen != chosenTypes_.end() && chosen->second == option)
          options.push_back({ext, option->Text(), Q(kCategoryNodes[g])});
      }
    }
  }
  std::map<QString, QString> captions;
  auto& section = LanguageTable::Instance().GetSection(QStringLiteral("MainWnd"));
  captions[QStringLiteral("NodePhoto")] = LanguageTable::Text(section, QStringLiteral("MSG0807"));
  captions[QStringLiteral("NodeAudio")] = LanguageTable::Text(section, QStringLiteral("MSG0808"));
  captions[QStringLiteral("NodeVideo")] = LanguageTable::Text(section, QStringLiteral("MSG0809"));
  captions[QStringLiteral("NodeDocument")] = LanguageTable::Text(section, QStringLiteral("MSG0810"));
  // The tree lists types in the order of the file-type page.
  std::vector<std::pair<QString, size_t>> result;
  for (const CFileTreeUI::TypeOption& option : options) {
    const auto it = shown_.find(option.extension);
    if (it != shown_.end()) result.emplace_back(it->first, it->second->size());
  }
  const QString current = currentTypeNode_;
  // Selects the first type, which fills the list; with none left the list is emptied here.
  // (The type looked at is kept for when a looser filter brings it back.)
  if (tree_->Fill(result, options, captions) == nullptr) {
    if (fileList_ != nullptr) fileList_->RemoveAll();
    currentTypeNode_ = current;
  }
  // A refill (a filter, a language) keeps the type the user was looking at and the ticks of what it shows.
  for (const auto& [key, records] : checkedFiles_.empty() ? decltype(shown_){} : shown_) {
    size_t ticked = 0;
    for (const FoundFileRecord& record : *records) ticked += checkedFiles_.count(KeyOf(record));
    if (ticked == 0) continue;
    for (const auto& category : tree_->Root()->children) {
      if (ui::TreeNode* node = tree_->FindNode(category->name + "." + key))
        tree_->SetCheckState(node,
                             ticked == records->size() ? ui::CheckState::Checked : ui::CheckState::Partial);
    }
  }
  if (ui::TreeNode* node = current.isEmpty() ? nullptr : tree_->FindNode(current)) tree_->SelectNode(node);
  SetPageTexts(kResultPage);
}

void CMainWnd::ShowTypeNode(const QString& nodeName) {
  if (fileList_ == nullptr) return;
  const qsizetype dot = nodeName.indexOf(QLatin1Char('.'));
  if (dot < 0) return;  // a category: its types are below it
  currentTypeNode_ = nodeName;
  const QString ext = nodeName.mid(dot + 1);
  const auto it = shown_.find(ext);
  std::set<RecordKey> checked;
  for (const auto& [key, record] : checkedFiles_) checked.insert(key);
  fileList_->Fill(it == shown_.end() ? nullptr : it->second, checked);
  if (auto* all = Find<ui::CCheckBoxUI>(QStringLiteral("ChkSelAll")))
    all->SetCheck(fileList_->RowCount() > 0 && fileList_->RowsState() == ui::CheckState::Checked, false);
  // The first file is marked, not previewed: a preview reads the source and should wait to be asked for.
  if (fileList_->RowCount() > 0) fileList_->SelectRow(0, false);
}

void CMainWnd::ApplyNodeCheck(const QString& nodeName, bool checked) {
  if (tree_ == nullptr) return;
  ui::TreeNode* node = tree_->FindNode(nodeName);
  if (node == nullptr) return;
  std::vector<ui::TreeNode*> types;
  if (node->style == QLatin1String("filetype")) {
    types.push_back(node);
  } else {
    for (const auto& child : node->children) types.push_back(child.get());
  }
  for (ui::TreeNode* type : types) {
    // Only what the filter shows is ticked: the user ticks what they see.
    const auto it = shown_.find(type->name.mid(type->name.indexOf(QLatin1Char('.')) + 1));
    if (it == shown_.end()) continue;
    for (const FoundFileRecord& record : *it->second) {
      if (checked) {
        checkedFiles_[KeyOf(record)] = record;
      } else {
        checkedFiles_.erase(KeyOf(record));
      }
    }
    if (type->name == currentTypeNode_ && fileList_ != nullptr) {
      fileList_->CheckAll(checked);
      if (auto* all = Find<ui::CCheckBoxUI>(QStringLiteral("ChkSelAll"))) all->SetCheck(checked, false);
    }
  }
  UpdateSelectedInfo();
}

void CMainWnd::OnRowCheck(int row, bool checked) {
  if (fileList_ == nullptr || row < 0 || row >= fileList_->RowCount()) return;
  const FoundFileRecord& record = fileList_->RecordOf(row);
  fileList_->NoteRowCheck(row, checked);
  if (checked) {
    checkedFiles_[KeyOf(record)] = record;
  } else {
    checkedFiles_.erase(KeyOf(record));
  }
  const ui::CheckState state = fileList_->RowsState();
  if (auto* all = Find<ui::CCheckBoxUI>(QStringLiteral("ChkSelAll")))
    all->SetCheck(state == ui::CheckState::Checked, false);
  if (tree_ != nullptr) {
    if (ui::TreeNode* node = tree_->FindNode(currentTypeNode_)) tree_->SetCheckState(node, state);
  }
  UpdateSelectedInfo();
}

void CMainWnd::UpdateSelectedInfo() {
  uint64_t total = 0;
  for (const auto& [key, record] : checkedFiles_) total += record.fileSize;
  if (ui::CControlUI* info = FindControl(QStringLiteral("SelectedFileInfo"))) {
    if (checkedFiles_.empty()) {
      info->SetText(Message("MSG0803"));
    } else {
      info->SetText(
          Q(FormatMessage(CountedMessage(QStringLiteral("MSG0804"), checkedFiles_.size()).toStdString(),
                          {FormatSize(static_cast<int64_t>(total)), std::to_string(checkedFiles_.size())})));
    }
  }
  Enable(QStringLiteral("BtnRecover"), !checkedFiles_.empty());
}

void CMainWnd::Recover() {
  if (checkedFiles_.empty()) return;
  QString chosen = prompts_->RecoveryFolder(this);
  if (chosen.isEmpty()) return;
  while (chosen.size() > 1 && (chosen.endsWith(QLatin1Char('/')) || chosen.endsWith(QLatin1Char('\\'))))
    chosen.chop(1);
  destinationFolder_ = chosen.toStdString();
  for (const auto& target : scanTargets_) {
    if (target->engine == nullptr || !target->IsDisk()) continue;
    if (destinationOnSource && destinationOnSource(destinationFolder_, *target)) {
      if (Ask(CMessageBox::Confirm, QStringLiteral("MSG0805"), 450, 160) != 1) return;
      break;
    }
  }
  std::vector<RecoveryItem> items;
  items.reserve(checkedFiles_.size());
  for (const auto& [key, record] : checkedFiles_) items.push_back({record, std::nullopt});
  CRecoverProcessWnd window(PointersOf(scanTargets_), destinationFolder_, std::move(items));
  if (window.Create(this, 500, 240)) window.ShowModal();
}

void CMainWnd::Preview(int row) {
  if (fileList_ == nullptr || row < 0 || row >= fileList_->RowCount()) return;
  auto* box = Find<ui::CRichEditUI>(QStringLiteral("PreviewEdit"));
  const FoundFileRecord record = fileList_->RecordOf(row);
  if (record.isFolder != 0) {
    if (auto* facts = Find<ui::CRichEditUI>(QStringLiteral("PreviewFacts"))) facts->Clear();
    ShowTextInBox(box, Message("MSG0904"));
    return;
  }
  if (box != nullptr) box->Clear();
  if (auto* facts = Find<ui::CRichEditUI>(QStringLiteral("PreviewFacts"))) facts->SetText(FactsOf(record));
  PreviewResult result;
  int endCode = 0;
  {
    CPreviewProcessWnd window(PointersOf(scanTargets_), record, kPreviewCapacity, result,
                              [this] { players_.EndAll(); });
    endCode = window.Create(this, 370, 220) ? window.ShowModal() : 0;
  }
  if (endCode != kEndFinished) return;
  if (!result.isMedia || result.path.empty()) {
    previewPath_ = result.path;
    if (!result.path.empty()) {
      ShowPictureInBox(box, QString::fromStdString(result.path.string()), Message("MSG0905"));
    } else if (box != nullptr && !result.data.empty()) {
      const BytesPreview shown = PreviewOfBytes(result.data, HexBytesPerLine(box->FixedColumns()));
      box->AppendBlock(shown.content, !shown.isText);
    }
    return;
  }
  const QString path = QString::fromStdString(result.path.string());
  if (!result.isAudio) {
    QPointer<CMainWnd> self(this);
    players_.PlayVideo(path, [self] {
      if (self) self->Ask(CMessageBox::Information, QStringLiteral("MSG1207"), 330, 150);
    });
  } else {
    players_.PlayAudio(path);
  }
}

QString CMainWnd::FactsOf(const FoundFileRecord& r) {
  auto line = [this](const char* id, const QString& value) {
    return Q(Prefixed(Message(id).toStdString(), value.toStdString()));
  };
  QStringList facts;
  facts << line("MSG0906", Q(FormatSize(static_cast<int64_t>(r.fileSize))));
  // Only the deep scan's engine knows where every kind of record starts.
  auto* deep = dynamic_cast<CProfessionalRecovery*>(FindEngine(PointersOf(scanTargets_), r.driveLetter));
  if (const std::optional<uint64_t> sector = deep != nullptr ? deep->FirstSectorOf(r) : std::nullopt)
    facts << line("MSG0907", QString::number(*sector));
  if (r.sourceKind <= static_cast<uint32_t>(SourceKind::kExtQuick))
    facts << line("MSG0908", Message(QStringLiteral("MSG09%1").arg(13 + r.sourceKind)));
  if (const std::optional<bool> deleted = WasDeleted(r)) facts << Message(*deleted ? "MSG0909" : "MSG0910");
  facts << Message(r.isIntact != 0 ? "MSG0911" : "MSG0912");
  return facts.join(QLatin1Char('\n'));
}

}  // namespace snapsave::app
