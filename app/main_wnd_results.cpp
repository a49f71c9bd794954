// The main window's result page: the type tree and file list, checks, preview and recovery.
#include "app/main_wnd.h"
#include "app/main_wnd_shared.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QImageReader>
#include <QKeyEvent>
#include <QLineEdit>
#include <QThread>
#include <QUrl>

#include <unistd.h>

#include <algorithm>
#include <system_error>
#include <unordered_map>

#include "app/message_box.h"
#include "app/preview.h"
#include "app/progress_windows.h"
#include "catalog/found_file_catalogue.h"
#include "catalog/recovery_output.h"
#include "filetypes/file_categories.h"
#include "os/device.h"
#include "os/sysfs.h"
#include "os/text.h"
#include "os/volume_space.h"
#include "sessions/scan_plan.h"
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
  folderFiles_.clear();  // it points into the lists just dropped
  folderChains_.clear();
  chainsByLeaf_.clear();
  currentFolderNode_.clear();
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
  filter.existing = showExisting_;
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
  const bool same = filter == filter_ && !shown_.empty();
  filter_ = std::move(filter);
  if (!same && !searchResult_.empty()) FillTree();
}

void CMainWnd::FillTree() {
  if (tree_ == nullptr) return;
  shown_.clear();
  for (const auto& [key, records] : searchResult_) {
    if (filter_.IsEmpty() && filter_.ShowsExisting()) {
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
  auto& section = LanguageTable::Instance().GetSection(QStringLiteral("MainWnd"));
  // Found files of types the page does not offer are listed under "Other files", by extension.
  for (const auto& [key, records] : shown_) {
    if (std::any_of(options.begin(), options.end(), [&](const auto& o) { return o.extension == key; }))
      continue;
    options.push_back(
        {key, key.isEmpty() ? LanguageTable::Text(section, QStringLiteral("MSG0817")) : key.toUpper(),
         QStringLiteral("NodeOther")});
  }
  std::map<QString, QString> captions;
  captions[QStringLiteral("NodePhoto")] = LanguageTable::Text(section, QStringLiteral("MSG0807"));
  captions[QStringLiteral("NodeAudio")] = LanguageTable::Text(section, QStringLiteral("MSG0808"));
  captions[QStringLiteral("NodeVideo")] = LanguageTable::Text(section, QStringLiteral("MSG0809"));
  captions[QStringLiteral("NodeDocument")] = LanguageTable::Text(section, QStringLiteral("MSG0810"));
  captions[QStringLiteral("NodeOther")] = LanguageTable::Text(section, QStringLiteral("MSG0816"));
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
  SyncTypeChecks();
  if (ui::TreeNode* node = current.isEmpty() ? nullptr : tree_->FindNode(current)) tree_->SelectNode(node);
  FillFolderTree();
  SetPageTexts(kResultPage);
}

void CMainWnd::ShowTypeNode(const QString& nodeName) {
  if (fileList_ == nullptr) return;
  const qsizetype dot = nodeName.indexOf(QLatin1Char('.'));
  currentTypeNode_ = nodeName;
  if (byFolder_) return;  // the list shows a folder; this type is shown when the view is
  std::set<RecordKey> checked;
  for (const auto& [key, record] : checkedFiles_) checked.insert(key);
  if (dot < 0) {
    // A category: every file of its types, so that the photo wall shows all the photos found.
    const ui::TreeNode* category = tree_ != nullptr ? tree_->FindNode(nodeName) : nullptr;
    auto all = std::make_shared<RecordList>();
    if (category != nullptr)
      for (const auto& child : category->children) {
        const qsizetype at = child->name.indexOf(QLatin1Char('.'));
        const auto it = at < 0 ? shown_.end() : shown_.find(child->name.mid(at + 1));
        if (it != shown_.end() && it->second != nullptr)
          all->insert(all->end(), it->second->begin(), it->second->end());
      }
    fileList_->Fill(std::move(all), checked);
  } else {
    const auto it = shown_.find(nodeName.mid(dot + 1));
    fileList_->Fill(it == shown_.end() ? nullptr : it->second, checked);
  }
  ReloadWall();
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
  if (byFolder_) {
    SyncFolderChecks();
  } else if (tree_ != nullptr) {
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
  uint64_t totalBytes = 0;
  uint64_t largestFile = 0;
  for (const auto& [key, record] : checkedFiles_) {
    totalBytes += record.fileSize;
    largestFile = std::max(largestFile, record.fileSize);
  }
  // The checks snapsave-cli makes, before anything is written; a refused folder is chosen again.
  for (;;) {
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
    const WriteCheck check =
        CheckRecoveryDestination(destinationFolder_, {}, totalBytes, largestFile, true, targetVolume);
    if (check.problem == WriteProblem::kNone) break;
    QString text;
    switch (check.problem) {
      case WriteProblem::kNotWritable:
        text = Q(
            FormatMessage(Message(QStringLiteral("MSG0812")).toStdString(), {PlainWriteReason(check.error)}));
        break;
      case WriteProblem::kFatTooSmall:
        text = Message(QStringLiteral("MSG0219"));
        break;
      case WriteProblem::kFat32TooSmall:
        text = Message(QStringLiteral("MSG0220"));
        break;
      default:
        text = Q(FormatMessage(Message(QStringLiteral("MSG0811")).toStdString(),
                               {FormatSize(static_cast<int64_t>(totalBytes))}));
        break;
    }
    prompts_->Message(this, CMessageBox::Information, text, 420, 170);
  }
  // Chosen by folder, files keep their found folders below the destination, as snapsave-cli recovers them;
  // chosen by type, and carved files always, they go to their category's folder.
  std::vector<RecoveryItem> items;
  items.reserve(checkedFiles_.size());
  for (const auto& [key, record] : checkedFiles_)
    items.push_back({record, byFolder_ ? FoundFolderOf(record) : std::nullopt});
  CRecoverProcessWnd window(PointersOf(scanTargets_), destinationFolder_, std::move(items));
  if (window.Create(this, 500, 240)) window.ShowModal();
}

std::optional<std::filesystem::path> CMainWnd::FoundFolderOf(const FoundFileRecord& record) {
  IFileRecoveryParse* engine = FindEngine(PointersOf(scanTargets_), record.driveLetter);
  RecordList ancestors;
  if (engine == nullptr || record.Kind() == SourceKind::kCarved ||
      engine->GetRecordAncestors(&record, ancestors) != err::kSuccess)
    return std::nullopt;
  std::filesystem::path folder;
  for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it)
    folder /= os::PathFromUtf8(SanitizeNameComponent(it->Name()));
  return folder;
}

void CMainWnd::Preview(int row) {
  if (fileList_ == nullptr || row < 0 || row >= fileList_->RowCount()) return;
  auto* box = Find<ui::CRichEditUI>(QStringLiteral("PreviewEdit"));
  const FoundFileRecord record = fileList_->RecordOf(row);
  previewBytes_.clear();
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
    } else {
      previewBytes_ = std::move(result.data);
      ShowBytesPreview();
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

void CMainWnd::ShowWall(bool wall) {
  if (fileList_ == nullptr || wall_ == nullptr) return;
  fileList_->setVisible(!wall);
  wall_->setVisible(wall);
  if (wall) wall_->Reload();
}

void CMainWnd::ReloadWall() {
  if (wall_ != nullptr && wall_->isVisible()) wall_->Reload();
}

QImage CMainWnd::Thumbnail(const FoundFileRecord& record, QSize size) {
  // Pictures Qt decodes; larger files than a photo's are not read for a thumbnail.
  static const QStringList kDecoded = {QStringLiteral("jpg"), QStringLiteral("jpeg"), QStringLiteral("png"),
                                       QStringLiteral("bmp"), QStringLiteral("gif"),  QStringLiteral("webp"),
                                       QStringLiteral("tif"), QStringLiteral("tiff")};
  if (record.isFolder != 0 || record.fileSize > (uint64_t{64} << 20) ||
      !kDecoded.contains(result_view::TypeText(record).toLower()))
    return {};
  IFileRecoveryParse* engine = FindEngine(PointersOf(scanTargets_), record.driveLetter);
  if (engine == nullptr) return {};
  std::filesystem::path path;
  std::vector<uint8_t> buffer(1);
  uint32_t got = 0;
  if (engine->ExtractForPreview(&record, path, buffer, got, nullptr, nullptr) != 0 || path.empty()) return {};
  QImageReader reader(QString::fromStdString(path.string()));
  reader.setAutoTransform(true);
  // Decoded at the reduced size (JPEG scales in the decoder), not whole and then shrunk.
  if (const QSize full = reader.size(); full.isValid())
    reader.setScaledSize(full.scaled(size, Qt::KeepAspectRatio).expandedTo(QSize(1, 1)));
  QImage image = reader.read();
  if (!image.isNull() && (image.width() > size.width() || image.height() > size.height()))
    image = image.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  return image;
}

void CMainWnd::ShowBytesPreview() {
  auto* box = Find<ui::CRichEditUI>(QStringLiteral("PreviewEdit"));
  if (box == nullptr || previewBytes_.empty()) return;
  box->Clear();
  const BytesPreview shown = PreviewOfBytes(previewBytes_, HexBytesPerLine(box->FixedColumns()));
  box->AppendBlock(shown.content, !shown.isText);
}

QString CMainWnd::FactsOf(const FoundFileRecord& r) {
  auto line = [this](const char* id, const QString& value) {
    return Q(Prefixed(Message(id).toStdString(), value.toStdString()));
  };
  QStringList facts;
  facts << line("MSG0906", Q(FormatSize(static_cast<int64_t>(r.fileSize))));
  // Only the deep scan's engine knows where every kind of record starts.
  IFileRecoveryParse* engine = FindEngine(PointersOf(scanTargets_), r.driveLetter);
  DeepScanControl* deep = engine != nullptr ? engine->DeepControl() : nullptr;
  if (const std::optional<uint64_t> sector = deep != nullptr ? deep->FirstSectorOf(r) : std::nullopt)
    facts << line("MSG0907", QString::number(*sector));
  if (const std::optional<FoundBy> by = FoundByOf(r)) {
    const QString foundBy = Message(Q(std::string(by->messageId)));
    facts << line("MSG0908", by->fileSystem.empty()
                                 ? foundBy
                                 : Q(FormatMessage(foundBy.toStdString(), {std::string(by->fileSystem)})));
  }
  if (const std::optional<bool> deleted = WasDeleted(r)) facts << Message(*deleted ? "MSG0909" : "MSG0910");
  facts << Message(r.isIntact != 0 ? "MSG0911" : "MSG0912");
  return facts.join(QLatin1Char('\n'));
}

namespace {

// A node's state from how many of the files below it are ticked.
ui::CheckState StateOf(size_t ticked, size_t total) {
  if (ticked == 0 || total == 0) return ui::CheckState::Unchecked;
  return ticked == total ? ui::CheckState::Checked : ui::CheckState::Partial;
}

}  // namespace

void CMainWnd::SyncTypeChecks() {
  if (tree_ == nullptr) return;
  for (const auto& category : tree_->Root()->children) {
    size_t categoryTicked = 0, categoryTotal = 0;
    for (const auto& type : category->children) {
      const auto it = shown_.find(type->name.mid(type->name.indexOf(QLatin1Char('.')) + 1));
      size_t ticked = 0, total = 0;
      if (it != shown_.end()) {
        total = it->second->size();
        if (!checkedFiles_.empty())
          for (const FoundFileRecord& record : *it->second) ticked += checkedFiles_.count(KeyOf(record));
      }
      type->check = StateOf(ticked, total);
      categoryTicked += ticked;
      categoryTotal += total;
    }
    category->check = StateOf(categoryTicked, categoryTotal);
  }
  tree_->update();
}

std::shared_ptr<const CMainWnd::FolderChain> CMainWnd::FolderChainOf(const FoundFileRecord& r) {
  auto [known, added] = folderChains_.try_emplace(KeyOf(r));
  if (!added) return known->second;
  // Node names are made of record numbers, so that two folders of one name stay apart.
  const QString volume = QStringLiteral("V%1").arg(r.driveLetter);
  QString volumeText = QStringLiteral("%1").arg(r.driveLetter);
  for (const auto& target : scanTargets_) {
    if (target->DriveLetter() != r.driveLetter) continue;
    volumeText = target->volume && target->imagePath.empty()
                     ? result_view::VolumeName(*target->volume, Message("MSG0222"), true)
                     : QString::fromStdString(target->imagePath.filename().string());
    break;
  }
  auto chain = std::make_shared<FolderChain>();
  chain->emplace_back(volume, volumeText);
  if (r.Kind() == SourceKind::kCarved) {
    // Carved files have no folder: they go under their category, as recovery files them.
    const std::string_view category = ClassifyFileName(r.Name());
    static const std::map<std::string_view, const char*> kCaptions = {
        {kCategoryPhoto, "MSG0807"},    {kCategoryAudio, "MSG0808"},   {kCategoryVideo, "MSG0809"},
        {kCategoryDocument, "MSG0810"}, {kCategoryArchive, "MSG0810"}, {kCategoryOthers, "MSG0943"}};
    const auto caption = kCaptions.find(category);
    auto& section = LanguageTable::Instance().GetSection(QStringLiteral("MainWnd"));
    chain->emplace_back(volume + QStringLiteral("#"), Message("MSG0942"));
    chain->emplace_back(volume + QStringLiteral("#") +
                            QString::fromLatin1(category.data(), static_cast<qsizetype>(category.size())),
                        caption == kCaptions.end() || std::string_view(caption->second) == "MSG0943"
                            ? Message("MSG0943")
                            : LanguageTable::Text(section, QString::fromLatin1(caption->second)));
  } else if (IFileRecoveryParse* engine = FindEngine(PointersOf(scanTargets_), r.driveLetter)) {
    RecordList ancestors;
    engine->GetRecordAncestors(&r, ancestors);
    QString name = volume;
    for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) {
      name += QStringLiteral("/%1").arg(it->recordId);
      const std::string_view folder = it->Name();
      QString text = QString::fromUtf8(folder.data(), static_cast<qsizetype>(folder.size()));
      if ((it->isDeleted & 1) != 0) text += QStringLiteral(" \u00B7 ") + Message("MSG0941");
      chain->emplace_back(name, text);
    }
  }
  // Files of one folder share its chain: a million files hold a pointer each, and the tree's fill meets each
  // chain once.
  auto [interned, fresh] = chainsByLeaf_.try_emplace(chain->back().first, nullptr);
  if (fresh) interned->second = std::move(chain);
  known->second = interned->second;
  return known->second;
}

void CMainWnd::FillFolderTree() {
  if (folderTree_ == nullptr) return;
  folderTree_->RemoveChildren(folderTree_->Root());
  folderFiles_.clear();
  std::map<QString, ui::TreeNode*> nodes;
  std::map<ui::TreeNode*, QString> texts;
  std::unordered_map<const FolderChain*, std::vector<const FoundFileRecord*>*> leaves;
  for (const auto& [key, records] : shown_) {
    for (const FoundFileRecord& record : *records) {
      const FolderChain* chain = FolderChainOf(record).get();
      auto [leaf, first] = leaves.try_emplace(chain, nullptr);
      if (first) {
        ui::TreeNode* parent = folderTree_->Root();
        for (const auto& [name, text] : *chain) {
          auto [node, added] = nodes.try_emplace(name, nullptr);
          if (added) {
            node->second = folderTree_->AddNode(parent, name, text);
            texts[node->second] = text;
          }
          parent = node->second;
        }
        leaf->second = &folderFiles_[parent->name];
      }
      leaf->second->push_back(&record);
    }
  }
  // Each node counts the files below it, at any depth.
  auto count = [&](auto&& self, ui::TreeNode* node) -> size_t {
    const auto direct = folderFiles_.find(node->name);
    size_t total = direct == folderFiles_.end() ? 0 : direct->second.size();
    for (const auto& child : node->children) total += self(self, child.get());
    if (node != folderTree_->Root())
      folderTree_->SetNodeText(node, QStringLiteral("%1 (%2)").arg(texts[node]).arg(total));
    return total;
  };
  count(count, folderTree_->Root());
  SyncFolderChecks();
  ui::TreeNode* shown = currentFolderNode_.isEmpty() ? nullptr : folderTree_->FindNode(currentFolderNode_);
  if (shown == nullptr && !folderTree_->Root()->children.empty())
    shown = folderTree_->Root()->children.front().get();
  if (shown != nullptr) {
    folderTree_->SelectNode(shown, byFolder_);
    if (!byFolder_) currentFolderNode_ = shown->name;
  } else if (byFolder_ && fileList_ != nullptr) {
    fileList_->RemoveAll();
  }
}

void CMainWnd::SyncFolderChecks() {
  if (folderTree_ == nullptr) return;
  auto settle = [&](auto&& self, ui::TreeNode* node) -> std::pair<size_t, size_t> {
    size_t ticked = 0, total = 0;
    if (const auto direct = folderFiles_.find(node->name); direct != folderFiles_.end()) {
      total = direct->second.size();
      if (!checkedFiles_.empty())
        for (const FoundFileRecord* record : direct->second) ticked += checkedFiles_.count(KeyOf(*record));
    }
    for (const auto& child : node->children) {
      const auto [t, n] = self(self, child.get());
      ticked += t;
      total += n;
    }
    node->check = StateOf(ticked, total);
    return {ticked, total};
  };
  settle(settle, folderTree_->Root());
  folderTree_->update();
}

void CMainWnd::ShowFolderNode(const QString& nodeName) {
  currentFolderNode_ = nodeName;
  if (!byFolder_ || fileList_ == nullptr) return;
  RecordList files;
  if (const auto direct = folderFiles_.find(nodeName); direct != folderFiles_.end()) {
    files.reserve(direct->second.size());
    for (const FoundFileRecord* record : direct->second) files.push_back(*record);
  }
  std::set<RecordKey> checked;
  for (const auto& [key, record] : checkedFiles_) checked.insert(key);
  fileList_->Fill(std::make_shared<const RecordList>(std::move(files)), checked);
  ReloadWall();
  if (auto* all = Find<ui::CCheckBoxUI>(QStringLiteral("ChkSelAll")))
    all->SetCheck(fileList_->RowCount() > 0 && fileList_->RowsState() == ui::CheckState::Checked, false);
  if (fileList_->RowCount() > 0) fileList_->SelectRow(0, false);
}

void CMainWnd::ApplyFolderCheck(const QString& nodeName, bool checked) {
  ui::TreeNode* node = folderTree_ != nullptr ? folderTree_->FindNode(nodeName) : nullptr;
  if (node == nullptr) return;
  bool showsBelow = false;
  auto apply = [&](auto&& self, ui::TreeNode* n) -> void {
    showsBelow = showsBelow || n->name == currentFolderNode_;
    if (const auto direct = folderFiles_.find(n->name); direct != folderFiles_.end()) {
      for (const FoundFileRecord* record : direct->second) {
        if (checked)
          checkedFiles_[KeyOf(*record)] = *record;
        else
          checkedFiles_.erase(KeyOf(*record));
      }
    }
    for (const auto& child : n->children) self(self, child.get());
  };
  apply(apply, node);
  if (showsBelow && byFolder_ && fileList_ != nullptr) {
    fileList_->CheckAll(checked);
    if (auto* all = Find<ui::CCheckBoxUI>(QStringLiteral("ChkSelAll")))
      all->SetCheck(checked && fileList_->RowCount() > 0, false);
  }
  UpdateSelectedInfo();
}

void CMainWnd::ShowResultView(bool byFolder) {
  // The file marked in the list now is marked in the other view too.
  std::optional<FoundFileRecord> marked;
  if (fileList_ != nullptr && fileList_->SelectedRow() >= 0 &&
      fileList_->SelectedRow() < fileList_->RowCount())
    marked = fileList_->RecordOf(fileList_->SelectedRow());
  byFolder_ = byFolder;
  if (auto* trees = Find<ui::CTabLayoutUI>(QStringLiteral("ResultTrees")))
    trees->SelectItem(byFolder ? 1 : 0);
  if (auto* option =
          Find<ui::COptionUI>(byFolder ? QStringLiteral("ViewByFolder") : QStringLiteral("ViewByType")))
    option->Selected(true, false);
  if (byFolder) {
    SyncFolderChecks();
    QString node = currentFolderNode_;
    if (marked) node = FolderChainOf(*marked)->back().first;
    if (ui::TreeNode* shown = folderTree_ != nullptr ? folderTree_->FindNode(node) : nullptr) {
      folderTree_->SelectNode(shown);
    } else if (fileList_ != nullptr) {
      fileList_->RemoveAll();
    }
  } else {
    SyncTypeChecks();
    QString node = currentTypeNode_;
    if (marked && tree_ != nullptr) {
      const QString key = ResultKey(*marked);
      for (const auto& category : tree_->Root()->children)
        for (const auto& type : category->children)
          if (type->name.endsWith(QLatin1Char('.') + key)) node = type->name;
    }
    if (ui::TreeNode* shown = tree_ != nullptr ? tree_->FindNode(node) : nullptr) {
      tree_->SelectNode(shown, false);
      ShowTypeNode(shown->name);
    } else if (fileList_ != nullptr) {
      fileList_->RemoveAll();
    }
  }
  if (marked && fileList_ != nullptr) {
    for (int row = 0; row < fileList_->RowCount(); ++row) {
      if (KeyOf(fileList_->RecordOf(row)) != KeyOf(*marked)) continue;
      fileList_->SelectRow(row, false);
      fileList_->EnsureVisible(row);
      break;
    }
  }
}

}  // namespace snapsave::app
