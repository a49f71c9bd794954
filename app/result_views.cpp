#include "app/result_views.h"

#include <algorithm>
#include <map>
#include <optional>
#include <tuple>

#include "catalog/found_file_catalogue.h"
#include "filetypes/file_categories.h"
#include "os/clock.h"

namespace snapsave::app {

namespace result_view {

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
              kTypeColumn = 6;

int ColumnOf(const QString& item) {
  if (item == QLatin1String("FileName")) return kNameColumn;
  if (item == QLatin1String("Size")) return kSizeColumn;
  if (item == QLatin1String("ModifiedTime")) return kModifiedColumn;
  if (item == QLatin1String("CreatedTime")) return kCreatedColumn;
  if (item == QLatin1String("Path")) return kPathColumn;
  if (item == QLatin1String("Type")) return kTypeColumn;
  return -1;
}
}  // namespace

CListExUI::CListExUI(QWidget* parent) : ui::CListUI(parent) {}

int CListExUI::Fill(const RecordList& records, const std::set<RecordKey>& checked) {
  RemoveAll();
  records_ = records;
  checkedCount_ = 0;
  std::vector<ui::ListRow> rows;
  rows.reserve(records_.size());
  // A list holds few types: each icon is looked up and parsed once, not once a row.
  std::map<std::tuple<QString, bool, bool>, std::optional<ui::ImageDescriptor>> icons;
  for (size_t i = 0; i < records_.size(); ++i) {
    const FoundFileRecord& r = records_[i];
    const QString type = result_view::TypeText(r);
    ui::ListRow row;
    row.height = 20;
    row.tag = static_cast<qulonglong>(i);
    row.checked = checked.count(KeyOf(r)) != 0;
    checkedCount_ += row.checked ? 1 : 0;
    row.cells.resize(7);
    const std::string_view name = r.Name();
    row.cells[kNameColumn].text = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
    auto [icon, added] = icons.try_emplace({type, r.isFolder != 0, r.isIntact != 0});
    if (added)
      icon->second = ui::ParseImageDescriptor(result_view::IconFile(type, r.isFolder != 0, r.isIntact != 0));
    if (icon->second) row.cells[kNameColumn].icon = *icon->second;
    if (r.isFolder == 0)
      row.cells[kSizeColumn].text = QString::fromStdString(FormatSize(static_cast<int64_t>(r.fileSize)));
    row.cells[kModifiedColumn].text = result_view::TimeText(r.writeTime);
    row.cells[kCreatedColumn].text = result_view::TimeText(r.creationTime);
    const QString path = pathOf_ ? pathOf_(r) : QString();
    row.cells[kPathColumn].text = path.isEmpty() ? result_view::kNoTime : path;
    row.cells[kTypeColumn].text = type;
    // The lost first letter of a deleted short name was taken from its siblings: say so where it is shown.
    if ((r.isDeleted & kDeletedNameGuessed) != 0)
      row.cells[kTypeColumn].text += QStringLiteral(" (name guessed)");
    rows.push_back(std::move(row));
  }
  AddRows(std::move(rows));
  FitColumns({kSizeColumn, kModifiedColumn, kCreatedColumn, kTypeColumn});
  // A long path is cut rather than the type beside it (its whole text is the cell's tool tip).
  FitColumns({kPathColumn}, 120);
  return checkedCount_;
}

const FoundFileRecord& CListExUI::RecordOf(int row) const {
  return records_.at(static_cast<size_t>(Row(row).tag.toULongLong()));
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
  if (column == kNameColumn || column == kTypeColumn)
    direction = direction == 1 ? -1 : 1;
  else if (column != kPathColumn)
    direction = direction == -1 ? 1 : -1;
  for (ui::CListHeaderItemUI* item : HeaderItems()) {
    if (item->Name() != itemName) continue;
    item->SetBkImage(direction == 1 ? QStringLiteral("file='list_header_asc.png' corner='0,1,13,1'")
                                    : QStringLiteral("file='list_header_desc.png' corner='0,1,13,1'"));
  }
  const bool ascending = direction == 1;
  auto less = [&](const ui::ListRow& a, const ui::ListRow& b) {
    if (column == kSizeColumn) {
      const FoundFileRecord& ra = records_[static_cast<size_t>(a.tag.toULongLong())];
      const FoundFileRecord& rb = records_[static_cast<size_t>(b.tag.toULongLong())];
      if ((ra.isFolder != 0) != (rb.isFolder != 0)) return ra.isFolder != 0;
      return ra.fileSize < rb.fileSize;
    }
    const QString& ta = a.cells[static_cast<size_t>(column)].text;
    const QString& tb = b.cells[static_cast<size_t>(column)].text;
    if (ta.isEmpty() != tb.isEmpty()) return ta.isEmpty();
    return ta.compare(tb, Qt::CaseInsensitive) < 0;
  };
  SortRows([&](const ui::ListRow& a, const ui::ListRow& b) { return ascending ? less(a, b) : less(b, a); });
}

CFileTreeUI::CFileTreeUI(QWidget* parent) : ui::CTreeUI(parent) {}

int CFileTreeUI::CountOf(const ui::TreeNode* node) {
  if (node == nullptr) return 0;
  if (node->style == QLatin1String("filetype")) return static_cast<int>(node->tag.value<qulonglong>());
  int total = 0;
  for (const auto& child : node->children) total += CountOf(child.get());
  return total;
}

ui::TreeNode* CFileTreeUI::Fill(const std::vector<std::pair<QString, RecordList>>& result,
                                const std::vector<TypeOption>& options,
                                const std::map<QString, QString>& categoryCaptions) {
  static const QString kCategories[] = {QStringLiteral("NodePhoto"), QStringLiteral("NodeAudio"),
                                        QStringLiteral("NodeVideo"), QStringLiteral("NodeDocument")};
  for (const QString& name : kCategories) {
    ui::TreeNode* category = FindNode(name);
    if (category == nullptr) category = AddNode(Root(), name, name);
    RemoveChildren(category);
    SetCheck(category, false);
    SetNodeVisible(category, false);
    const auto it = categoryCaptions.find(name);
    SetNodeText(category, it == categoryCaptions.end() ? name : it->second);
  }
  for (const auto& [extension, records] : result) {
    if (records.empty()) continue;
    const auto option = std::find_if(options.begin(), options.end(), [&](const TypeOption& o) {
      return o.extension.compare(extension, Qt::CaseInsensitive) == 0;
    });
    if (option == options.end()) continue;
    ui::TreeNode* category = FindNode(option->category);
    if (category == nullptr) continue;
    const qsizetype paren = option->caption.indexOf(QLatin1Char('('));
    const QString caption = (paren < 0 ? option->caption : option->caption.left(paren)).trimmed();
    ui::TreeNode* node = AddNode(category, category->name + "." + extension,
                                 QStringLiteral("%1 (%2)").arg(caption).arg(records.size()));
    node->style = QStringLiteral("filetype");
    node->tag = static_cast<qulonglong>(records.size());
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
    row.cells[2].bar = v.totalBytes == 0 ? 0 : static_cast<int>(v.usedBytes * 100 / v.totalBytes);
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

void CButtonExUI::enterEvent(QEnterEvent* event) {
  ui::CButtonUI::enterEvent(event);
  Notify(QStringLiteral("onhot"));
}

void CButtonExUI::leaveEvent(QEvent* event) {
  ui::CButtonUI::leaveEvent(event);
  Notify(QStringLiteral("offhot"));
}

}  // namespace snapsave::app
