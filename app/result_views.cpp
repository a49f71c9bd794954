#include "app/result_views.h"

#include <algorithm>
#include <map>
#include <optional>
#include <tuple>

#include "app/language_table.h"
#include "catalog/found_file_catalogue.h"
#include "filetypes/file_categories.h"
#include "os/clock.h"

namespace snapsave::app {

namespace result_view {

QString StateText(const FoundFileRecord& record) {
  auto word = [](int state, const char* fallback) {
    const QString text =
        LanguageTable::Text(LanguageTable::Instance().GetSection(QStringLiteral("menu_state")),
                            QStringLiteral("state_%1").arg(state));
    return text.isEmpty() ? QString::fromLatin1(fallback) : text;
  };
  QStringList words;
  if (WasDeleted(record).value_or(false)) words << word(1, "Deleted");
  if (IsExistingFile(record)) words << word(5, "Existing");
  words << (record.isIntact != 0 ? word(2, "Intact") : word(3, "Damaged"));
  if ((record.isDeleted & kDeletedNameGuessed) != 0) words << word(4, "Name guessed");
  // Only the first word keeps its capital.
  for (qsizetype i = 1; i < words.size(); ++i) words[i] = words[i].left(1).toLower() + words[i].mid(1);
  return words.join(QStringLiteral(", "));
}

QString TypeText(const FoundFileRecord& record) {
  if (record.isFolder != 0) return QStringLiteral("folder");
  const std::string_view name = record.Name();
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return QStringLiteral("file");
  const std::string_view ext = name.substr(dot + 1);
  return QString::fromUtf8(ext.data(), static_cast<qsizetype>(ext.size()));
}

QString IconFile(const QString& typeText, bool isFolder, bool intact) {
  if (isFolder || typeText.compare(QLatin1String("folder"), Qt::CaseInsensitive) == 0)
    return QStringLiteral("FileIcon/folder.png");
  // A plain substring test of the type in each list's text, first match wins.
  const std::string type = typeText.toStdString();
  const auto in = [&](std::string_view list) { return list.find(type) != std::string_view::npos; };
  QString base = QStringLiteral("default");
  if (type == "exe")
    base = QStringLiteral("exe");
  else if (in(kPhotoList))
    base = QStringLiteral("image");
  else if (in(kAudioList))
    base = QStringLiteral("music");
  else if (in(kDocumentList))
    base = QStringLiteral("doc");
  else if (in(kVideoList))
    base = QStringLiteral("video");
  else if (in(kArchiveList))
    base = QStringLiteral("zip");
  else if (!type.empty() && kPhotoWholeItemList.find("*." + type + "|") != std::string_view::npos)
    base = QStringLiteral("image");
  return QStringLiteral("FileIcon/") + base + (intact ? QString() : QStringLiteral("_error")) + ".png";
}

QString TimeText(uint64_t fileTime) {
  if (fileTime == 0) return kNoTime;
  const os::LocalTime t = os::CivilTimeOfFileTime(fileTime);
  return QString::asprintf("%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                           t.second);
}

QString VolumeCaption(const VolumeInfo& v) {
  if (static_cast<int64_t>(v.freeBytes) < 0) return QStringLiteral("*:\\");
  const char16_t letter = v.driveLetter;
  const bool alphabetic = (letter >= u'A' && letter <= u'Z') || (letter >= u'a' && letter <= u'z');
  const QString id = alphabetic ? QString(QChar(letter)) : QString::number(static_cast<uint32_t>(letter));
  return id + QStringLiteral(":\\ ") + QString::fromStdString(v.volumeLabel);
}

QString VolumeName(const VolumeInfo& v, const QString& unallocated, bool brief) {
  QStringList parts;
  if (!v.rootPath.empty())
    parts << QString::fromStdString(v.rootPath);
  else if (v.kind == EntryKind::kUnallocated)
    parts << unallocated;
  if (!v.volumeLabel.empty()) parts << QString::fromStdString(v.volumeLabel);
  if (!brief) {
    if (!v.fileSystemName.empty()) parts << QString::fromStdString(v.fileSystemName);
    parts << QString::fromStdString(FormatSize(static_cast<int64_t>(v.totalBytes)));
  }
  QString name = parts.join(QStringLiteral(" \u00B7 "));
  if (!v.mountPoint.empty()) name += QStringLiteral(", mounted at ") + QString::fromStdString(v.mountPoint);
  return name;
}

}  // namespace result_view

namespace {
constexpr int kNameColumn = 1, kSizeColumn = 2, kModifiedColumn = 3, kCreatedColumn = 4, kPathColumn = 5,
              kTypeColumn = 6, kStateColumn = 7;
constexpr size_t kColumns = 8;

int ColumnOf(const QString& item) {
  if (item == QLatin1String("FileName")) return kNameColumn;
  if (item == QLatin1String("Size")) return kSizeColumn;
  if (item == QLatin1String("ModifiedTime")) return kModifiedColumn;
  if (item == QLatin1String("CreatedTime")) return kCreatedColumn;
  if (item == QLatin1String("Path")) return kPathColumn;
  if (item == QLatin1String("Type")) return kTypeColumn;
  if (item == QLatin1String("State")) return kStateColumn;
  return -1;
}
}  // namespace

CListExUI::CListExUI(QWidget* parent) : ui::CListUI(parent) {
  SetCellMaker([this](const ui::ListRow& row, std::vector<ui::ListCell>& cells) { MakeCells(row, cells); });
}

namespace {

char Folded(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// A text as it sorts without case. Most comparisons end in its first sixteen bytes, kept folded in numbers
// that order as they do (texts hold no NUL, so a shorter one's zeros order it first, as its end would).
struct FoldedText {
  FoldedText() = default;
  explicit FoldedText(std::string_view t) : text(t) {
    for (size_t i = 0; i < 16; ++i)
      head[i / 8] = (head[i / 8] << 8) | (i < t.size() ? static_cast<uint8_t>(Folded(t[i])) : 0u);
  }
  friend bool operator<(const FoldedText& a, const FoldedText& b) {
    if (a.head[0] != b.head[0]) return a.head[0] < b.head[0];
    if (a.head[1] != b.head[1]) return a.head[1] < b.head[1];
    for (size_t i = 16; i < a.text.size() && i < b.text.size(); ++i) {
      const auto ca = static_cast<uint8_t>(Folded(a.text[i])), cb = static_cast<uint8_t>(Folded(b.text[i]));
      if (ca != cb) return ca < cb;
    }
    return a.text.size() < b.text.size();
  }
  uint64_t head[2] = {};
  std::string_view text;
};

QString TypeColumnText(const FoundFileRecord& r) {
  return result_view::TypeText(r);
}

}  // namespace

void CListExUI::MakeCells(const ui::ListRow& row, std::vector<ui::ListCell>& cells) const {
  if (row.item >= records_->size()) return;
  const FoundFileRecord& r = (*records_)[row.item];
  cells.resize(kColumns);
  const std::string_view name = r.Name();
  cells[kNameColumn].text = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
  // A list holds few types: each icon is looked up and parsed once, not once a row.
  const QString type = result_view::TypeText(r);
  auto [icon, added] = icons_.try_emplace({type, r.isFolder != 0, r.isIntact != 0});
  if (added)
    icon->second = ui::ParseImageDescriptor(result_view::IconFile(type, r.isFolder != 0, r.isIntact != 0));
  if (icon->second) cells[kNameColumn].icon = *icon->second;
  if (r.isFolder == 0)
    cells[kSizeColumn].text = QString::fromStdString(FormatSize(static_cast<int64_t>(r.fileSize)));
  cells[kModifiedColumn].text = result_view::TimeText(r.writeTime);
  cells[kCreatedColumn].text = result_view::TimeText(r.creationTime);
  const QString path = pathOf_ ? pathOf_(r) : QString();
  cells[kPathColumn].text = path.isEmpty() ? result_view::kNoTime : path;
  cells[kTypeColumn].text = TypeColumnText(r);
  cells[kStateColumn].text = result_view::StateText(r);
}

int CListExUI::Fill(SharedRecords records, const std::set<RecordKey>& checked) {
  RemoveAll();
  records_ = records != nullptr ? std::move(records) : std::make_shared<const RecordList>();
  checkedCount_ = 0;
  std::vector<ui::ListRow> rows(records_->size());
  for (size_t i = 0; i < rows.size(); ++i) {
    rows[i].height = 20;
    rows[i].item = i;
    if (!checked.empty() && checked.count(KeyOf((*records_)[i])) != 0) {
      rows[i].checked = true;
      ++checkedCount_;
    }
  }
  AddRows(std::move(rows));
  // The columns fit their widest texts; the cells are made only when shown, so the candidates for the widest
  // are picked from the records: the largest size of each unit, a date of each width, every distinct type.
  auto cell = [](const QString& text) {
    ui::ListCell c;
    c.text = text;
    return c;
  };
  std::vector<ui::ListCell> sizes, dates{cell(result_view::kNoTime)}, types, states;
  // Every state a row can show, as wide as the widest.
  for (const bool deleted : {false, true})
    for (const bool intact : {false, true}) {
      FoundFileRecord r = MakeEmptyRecord();
      r.isDeleted = deleted ? (1u | kDeletedNameGuessed) : 0u;
      r.isIntact = intact ? 1 : 0;
      states.push_back(cell(result_view::StateText(r)));
    }
  std::map<int, uint64_t> largest;  // by the size's unit (1024 ** n)
  // The first record of each kind of type text (its extension, a folder, a guessed name) stands for it.
  std::vector<std::pair<std::pair<std::string_view, bool>, const FoundFileRecord*>> typeKinds;
  for (const FoundFileRecord& r : *records_) {
    if (r.isFolder == 0) {
      int unit = 0;
      for (uint64_t v = r.fileSize; v >= 1024; v >>= 10) ++unit;
      uint64_t& big = largest[unit];
      big = std::max(big, r.fileSize);
    }
    if (typeKinds.size() < 64) {
      const std::string_view name = r.Name();
      const size_t dot = name.rfind('.');
      const std::pair<std::string_view, bool> key{
          r.isFolder != 0 ? "/" : (dot == std::string_view::npos ? "" : name.substr(dot)),
          (r.isDeleted & kDeletedNameGuessed) != 0};
      if (std::none_of(typeKinds.begin(), typeKinds.end(), [&](const auto& k) { return k.first == key; }))
        typeKinds.emplace_back(key, &r);
    }
  }
  for (const auto& [unit, size] : largest)
    sizes.push_back(cell(QString::fromStdString(FormatSize(static_cast<int64_t>(size)))));
  for (size_t i = 0; i < records_->size() && dates.size() < 8; ++i) {
    const FoundFileRecord& r = (*records_)[i];
    for (const uint64_t time : {r.writeTime, r.creationTime})
      if (time != 0) dates.push_back(cell(result_view::TimeText(time)));
  }
  for (const auto& [key, first] : typeKinds) types.push_back(cell(TypeColumnText(*first)));
  FitColumn(kSizeColumn, sizes);
  FitColumn(kModifiedColumn, dates);
  FitColumn(kCreatedColumn, dates);
  FitColumn(kTypeColumn, types);
  FitColumn(kStateColumn, states);
  // A long path is cut rather than the type beside it (its whole text is the cell's tool tip); the first rows
  // stand for the rest.
  std::vector<ui::ListCell> paths;
  for (int row = 0; row < std::min(RowCount(), 64); ++row) paths.push_back(Row(row).cells[kPathColumn]);
  FitColumn(kPathColumn, paths, 120);
  const std::vector<ui::CListHeaderItemUI*> items = HeaderItems();
  fitted_.clear();
  for (const int column :
       {kSizeColumn, kModifiedColumn, kCreatedColumn, kPathColumn, kTypeColumn, kStateColumn})
    if (static_cast<size_t>(column) < items.size())
      fitted_[column] = items[static_cast<size_t>(column)]->FixedWidth();
  GiveNameRoom();
  return checkedCount_;
}

int CListExUI::NameRoom() const {
  return fontMetrics().horizontalAdvance(QString(20, QLatin1Char('n'))) + 30;  // with the icon and padding
}

void CListExUI::resizeEvent(QResizeEvent* event) {
  ui::CListUI::resizeEvent(event);
  GiveNameRoom();
}

void CListExUI::GiveNameRoom() {
  const std::vector<ui::CListHeaderItemUI*> items = HeaderItems();
  if (fitted_.empty() || items.size() <= static_cast<size_t>(kNameColumn)) return;
  int others = 0;
  int fixed = 0;  // the check column's
  for (size_t i = 0; i < items.size(); ++i) {
    if (static_cast<int>(i) == kNameColumn || items[i]->isHidden()) continue;
    if (const auto it = fitted_.find(static_cast<int>(i)); it != fitted_.end())
      others += it->second;
    else
      fixed += items[i]->FixedWidth();
  }
  // The vertical scroll bar may take its share too.
  const int available = width() - fixed - 20;
  int deficit = others + NameRoom() - available;
  constexpr int kFloor = 36;
  // The path gives way first, then the type, the state, the dates and last the size.
  for (const int column :
       {kPathColumn, kTypeColumn, kStateColumn, kCreatedColumn, kModifiedColumn, kSizeColumn}) {
    const auto it = fitted_.find(column);
    if (it == fitted_.end()) continue;
    const int give = std::clamp(deficit, 0, std::max(0, it->second - kFloor));
    deficit -= give;
    const int width = it->second - give;
    if (items[static_cast<size_t>(column)]->FixedWidth() != width)
      items[static_cast<size_t>(column)]->SetFixedWidth(width);
  }
}

const FoundFileRecord& CListExUI::RecordOf(int row) const {
  return records_->at(RowItem(row));
}

ui::CheckState CListExUI::RowsState() const {
  if (checkedCount_ == 0) return ui::CheckState::Unchecked;
  return checkedCount_ == RowCount() ? ui::CheckState::Checked : ui::CheckState::Partial;
}

void CListExUI::NoteRowCheck(int row, bool checked) {
  if (row < 0 || row >= RowCount()) return;
  checkedCount_ += checked ? 1 : -1;
  checkedCount_ = std::clamp(checkedCount_, 0, RowCount());
}

void CListExUI::CheckAll(bool checked) {
  for (int row = 0; row < RowCount(); ++row) SetChecked(row, checked, false);
  checkedCount_ = checked ? RowCount() : 0;
}

int CListExUI::Direction(const QString& itemName) const {
  const auto it = directions_.find(itemName);
  return it == directions_.end() ? 0 : it->second;
}

void CListExUI::SortByHeader(const QString& itemName) {
  const int column = ColumnOf(itemName);
  if (column < 0) return;
  for (ui::CListHeaderItemUI* item : HeaderItems())
    item->SetBkImage(QStringLiteral("file='list_header_bg.png' corner='0,1,0,1'"));
  int& direction = directions_[itemName];
  if (column == kNameColumn || column == kTypeColumn || column == kStateColumn)
    direction = direction == 1 ? -1 : 1;
  else if (column != kPathColumn)
    direction = direction == -1 ? 1 : -1;
  for (ui::CListHeaderItemUI* item : HeaderItems()) {
    if (item->Name() != itemName) continue;
    item->SetBkImage(direction == 1 ? QStringLiteral("file='list_header_asc.png' corner='0,1,13,1'")
                                    : QStringLiteral("file='list_header_desc.png' corner='0,1,13,1'"));
  }
  const bool ascending = direction == 1;
  const RecordList& records = *records_;
  auto recordOf = [&](size_t row) -> const FoundFileRecord& {
    return records[RowItem(static_cast<int>(row))];
  };
  switch (column) {
    case kSizeColumn:
      // Folders before files, as an empty size text sorts first.
      return SortRowsBy(
          [&](size_t row) {
            const FoundFileRecord& r = recordOf(row);
            return std::pair<bool, uint64_t>(r.isFolder == 0, r.fileSize);
          },
          ascending);
    case kModifiedColumn:
      // ISO texts sort as their times do, and a missing time ("----") first.
      return SortRowsBy([&](size_t row) { return recordOf(row).writeTime; }, ascending);
    case kCreatedColumn:
      return SortRowsBy([&](size_t row) { return recordOf(row).creationTime; }, ascending);
    default: {
      // Texts without case, an empty one first. Names are read where they lie; the other texts are made once
      // into one buffer.
      std::string made;
      std::vector<std::pair<uint32_t, uint32_t>> spans;
      if (column != kNameColumn) {
        spans.resize(static_cast<size_t>(RowCount()));
        for (size_t row = 0; row < spans.size(); ++row) {
          const FoundFileRecord& r = recordOf(row);
          const size_t start = made.size();
          if (column == kTypeColumn) {
            made += TypeColumnText(r).toStdString();
          } else if (column == kStateColumn) {
            made += result_view::StateText(r).toStdString();
          } else {
            const QString path = pathOf_ ? pathOf_(r) : QString();
            made += (path.isEmpty() ? result_view::kNoTime : path).toStdString();
          }
          spans[row] = {static_cast<uint32_t>(start), static_cast<uint32_t>(made.size() - start)};
        }
      }
      return SortRowsBy(
          [&](size_t row) {
            return FoldedText(column == kNameColumn
                                  ? recordOf(row).Name()
                                  : std::string_view(made).substr(spans[row].first, spans[row].second));
          },
          ascending);
    }
  }
}

template <class KeyOfRow>
void CListExUI::SortRowsBy(KeyOfRow keyOf, bool ascending) {
  // Each row's key beside its index, sorted together: a million rows sort without chasing records.
  using Key = decltype(keyOf(size_t{}));
  std::vector<std::pair<Key, size_t>> keyed(static_cast<size_t>(RowCount()));
  for (size_t row = 0; row < keyed.size(); ++row) keyed[row] = {keyOf(row), row};
  std::stable_sort(keyed.begin(), keyed.end(), [ascending](const auto& a, const auto& b) {
    return ascending ? a.first < b.first : b.first < a.first;
  });
  std::vector<size_t> order(keyed.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = keyed[i].second;
  PermuteRows(order);
}

CFileTreeUI::CFileTreeUI(QWidget* parent) : ui::CTreeUI(parent) {}

int CFileTreeUI::CountOf(const ui::TreeNode* node) {
  if (node == nullptr) return 0;
  if (node->style == QLatin1String("filetype")) return static_cast<int>(node->tag.value<qulonglong>());
  int total = 0;
  for (const auto& child : node->children) total += CountOf(child.get());
  return total;
}

ui::TreeNode* CFileTreeUI::Fill(const std::vector<std::pair<QString, size_t>>& result,
                                const std::vector<TypeOption>& options,
                                const std::map<QString, QString>& categoryCaptions) {
  static const QString kCategories[] = {QStringLiteral("NodePhoto"), QStringLiteral("NodeAudio"),
                                        QStringLiteral("NodeVideo"), QStringLiteral("NodeDocument"),
                                        QStringLiteral("NodeOther")};
  for (const QString& name : kCategories) {
    ui::TreeNode* category = FindNode(name);
    if (category == nullptr) category = AddNode(Root(), name, name);
    RemoveChildren(category);
    SetCheck(category, false);
    SetNodeVisible(category, false);
    const auto it = categoryCaptions.find(name);
    SetNodeText(category, it == categoryCaptions.end() ? name : it->second);
  }
  for (const auto& [extension, count] : result) {
    if (count == 0) continue;
    const auto option = std::find_if(options.begin(), options.end(), [&](const TypeOption& o) {
      return o.extension.compare(extension, Qt::CaseInsensitive) == 0;
    });
    if (option == options.end()) continue;
    ui::TreeNode* category = FindNode(option->category);
    if (category == nullptr) continue;
    const qsizetype paren = option->caption.indexOf(QLatin1Char('('));
    const QString caption = (paren < 0 ? option->caption : option->caption.left(paren)).trimmed();
    ui::TreeNode* node = AddNode(category, category->name + "." + extension,
                                 QStringLiteral("%1 (%2)").arg(caption).arg(count));
    node->style = QStringLiteral("filetype");
    node->tag = static_cast<qulonglong>(count);
    SetNodeVisible(category, true);
  }
  ui::TreeNode* first = nullptr;
  for (const QString& name : kCategories) {
    ui::TreeNode* category = FindNode(name);
    if (category == nullptr || category->children.empty()) continue;
    const auto it = categoryCaptions.find(name);
    SetNodeText(category, QStringLiteral("%1 (%2)")
                              .arg(it == categoryCaptions.end() ? name : it->second)
                              .arg(CountOf(category)));
    if (first == nullptr) first = category->children.front().get();
  }
  if (first != nullptr) SelectNode(first);
  return first;
}

CDiskListUI::CDiskListUI(QWidget* parent) : ui::CListUI(parent) {}

namespace {

ui::ImageDescriptor Sprite(const char* descriptor) {
  return ui::ParseImageDescriptor(QString::fromLatin1(descriptor)).value_or(ui::ImageDescriptor{});
}

}  // namespace

void CDiskListUI::Fill(const std::vector<VolumeInfo>& entries,
                       const std::function<QString(int32_t, bool)>& diskCaption,
                       const std::function<bool(int32_t)>& isRemovable) {
  static const ui::ImageDescriptor kDiskNode =
      Sprite("file='Controls.png' source='50,54,96,77' dest='20,2,66,25'");
  static const ui::ImageDescriptor kFixedVolume =
      Sprite("file='Controls.png' source='1,54,47,77' dest='50,2,96,25'");
  static const ui::ImageDescriptor kRemovableVolume =
      Sprite("file='Controls.png' source='99,54,145,77' dest='50,2,96,25'");
  constexpr int kNameFont = 5;
  constexpr int kSizeFont = 3;
  RemoveAll();
  entries_ = entries;
  removableDisks_.clear();
  int32_t currentDisk = -2;
  bool removable = false;
  for (size_t i = 0; i < entries_.size(); ++i) {
    const VolumeInfo& v = entries_[i];
    if (v.diskNumber != currentDisk) {
      currentDisk = v.diskNumber;
      removable = isRemovable && isRemovable(v.diskNumber);
      if (removable) removableDisks_.insert(v.diskNumber);
      ui::ListRow node;
      node.isNode = true;
      node.tag = static_cast<qlonglong>(-1 - v.diskNumber);  // disks are tagged below zero
      node.cells.resize(3);
      node.cells[0].text = diskCaption(v.diskNumber, removable);
      node.cells[0].textPadding = QMargins(80, 0, 0, 0);
      node.cells[0].font = kNameFont;
      node.cells[0].icon = kDiskNode;
      if (v.diskBytes != 0) {
        node.cells[2].text = QString::fromStdString(FormatSize(static_cast<int64_t>(v.diskBytes)));
        node.cells[2].align = Qt::AlignCenter;
        node.cells[2].font = kSizeFont;
      }
      AddRow(std::move(node));
    }
    ui::ListRow row;
    row.tag = static_cast<qlonglong>(i);
    row.cells.resize(3);
    // No drive letters or running numbers here: the device, label and mount point say which entry it is.
    row.cells[0].text = result_view::VolumeName(v, unallocatedText_, true);
    row.cells[0].textPadding = QMargins(110, 0, 0, 0);
    row.cells[0].font = kNameFont;
    row.cells[0].icon = removable ? kRemovableVolume : kFixedVolume;
    row.cells[1].text = QString::fromStdString(v.fileSystemName);
    row.cells[1].align = Qt::AlignCenter;
    row.cells[1].font = kNameFont;
    row.cells[2].text = QString::fromStdString(FormatSize(static_cast<int64_t>(v.totalBytes)));
    row.cells[2].align = Qt::AlignCenter;
    row.cells[2].font = kSizeFont;
    // No bar for space nobody has counted yet: an empty or full one would be a guess.
    row.cells[2].bar = !v.spaceKnown       ? -1
                       : v.totalBytes == 0 ? 0
                                           : static_cast<int>(v.usedBytes * 100 / v.totalBytes);
    AddRow(std::move(row));
  }
  for (size_t i = 0; i < images_.size(); ++i) AddImageRow(i);
}

namespace {
// Image rows are tagged above every entry index.
constexpr qlonglong kImageTagBase = qlonglong{1} << 40;
}  // namespace

void CDiskListUI::AddImageRow(size_t index) {
  // At the level of the disks: an image is a source of its own, not a volume of the disk above it.
  static const ui::ImageDescriptor kImageIcon =
      Sprite("file='Controls.png' source='1,54,47,77' dest='20,2,66,25'");
  const ImageFile& image = images_[index];
  ui::ListRow row;
  row.tag = kImageTagBase + static_cast<qlonglong>(index);
  row.visible = imagesVisible_;
  row.cells.resize(3);
  row.cells[0].text = QString::fromStdString(image.path.filename().string());
  row.cells[0].textPadding = QMargins(80, 0, 0, 0);
  row.cells[0].font = 5;
  row.cells[0].icon = kImageIcon;
  row.cells[1].text = imageTypeText_;
  row.cells[1].align = Qt::AlignCenter;
  row.cells[1].font = 5;
  row.cells[2].text = QString::fromStdString(FormatSize(static_cast<int64_t>(image.size)));
  row.cells[2].align = Qt::AlignCenter;
  row.cells[2].font = 3;
  AddRow(std::move(row));
}

int CDiskListUI::AddImageFile(const std::filesystem::path& path, uint64_t size, const QString& typeText) {
  imageTypeText_ = typeText;
  for (int row = 0; row < RowCount(); ++row) {
    const ImageFile* known = ImageOf(row);
    if (known == nullptr || known->path != path) continue;
    // Loaded again: the file may have grown (an image written since), so its size is taken anew.
    images_[static_cast<size_t>(Row(row).tag.toLongLong() - kImageTagBase)].size = size;
    SetCellText(row, 2, QString::fromStdString(FormatSize(static_cast<int64_t>(size))));
    return row;
  }
  images_.push_back({path, size});
  AddImageRow(images_.size() - 1);
  return RowCount() - 1;
}

const CDiskListUI::ImageFile* CDiskListUI::ImageOf(int row) const {
  if (row < 0 || row >= RowCount()) return nullptr;
  const qlonglong tag = Row(row).tag.toLongLong();
  if (tag < kImageTagBase || static_cast<size_t>(tag - kImageTagBase) >= images_.size()) return nullptr;
  return &images_[static_cast<size_t>(tag - kImageTagBase)];
}

void CDiskListUI::SetImageRowsVisible(bool visible) {
  imagesVisible_ = visible;
  for (int row = 0; row < RowCount(); ++row) {
    if (ImageOf(row) != nullptr) SetRowVisible(row, visible);
  }
}

std::optional<int32_t> CDiskListUI::DiskOfNode(int row) const {
  if (row < 0 || row >= RowCount() || !Row(row).isNode) return std::nullopt;
  return static_cast<int32_t>(-1 - Row(row).tag.toLongLong());
}

std::vector<int> CDiskListUI::RowsOfNode(int row) const {
  std::vector<int> rows;
  if (!DiskOfNode(row)) return rows;
  for (int r = row + 1; r < RowCount() && !Row(r).isNode && EntryOf(r) != nullptr; ++r) rows.push_back(r);
  return rows;
}

bool CDiskListUI::IsRemovableRow(int row) const {
  const VolumeInfo* entry = EntryOf(row);
  return entry != nullptr && removableDisks_.count(entry->diskNumber) != 0;
}

const VolumeInfo* CDiskListUI::EntryOf(int row) const {
  if (row < 0 || row >= RowCount()) return nullptr;
  const qlonglong tag = Row(row).tag.toLongLong();
  if (tag < 0 || tag >= kImageTagBase || static_cast<size_t>(tag) >= entries_.size()) return nullptr;
  return &entries_[static_cast<size_t>(tag)];
}

void CDiskListUI::SetEntrySpace(int row, const VolumeInfo& learnt) {
  if (EntryOf(row) == nullptr) return;
  VolumeInfo& v = entries_[static_cast<size_t>(Row(row).tag.toLongLong())];
  v.usedBytes = learnt.usedBytes;
  v.freeBytes = learnt.freeBytes;
  v.spaceKnown = learnt.spaceKnown;
  if (v.spaceKnown && Row(row).cells.size() > 2) {
    MutableRow(row).cells[2].bar = v.totalBytes == 0 ? 0 : static_cast<int>(v.usedBytes * 100 / v.totalBytes);
    update();
  }
}

void CButtonExUI::enterEvent(QEnterEvent* event) {
  ui::CButtonUI::enterEvent(event);
  Notify(QStringLiteral("onhot"));
}

void CButtonExUI::leaveEvent(QEvent* event) {
  ui::CButtonUI::leaveEvent(event);
  Notify(QStringLiteral("offhot"));
}

}  // namespace snapsave::app
