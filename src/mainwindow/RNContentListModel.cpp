#include "mainwindow/RNContentListModel.h"

#include "files/RNFilesUtilities.h"
#include "mainwindow/RNImages.h"
#include "ui/RNQtStrings.h"
#include "util/RNDateUtilities.h"
#include "util/RNNumberUtilities.h"

#include <QCollator>
#include <QIcon>

#include <algorithm>
#include <optional>
#include <unordered_map>

namespace quillo::mainwindow {

namespace {
const char* const kIdentifiers[] = {"check_col", "name_col", "original_location_col", "size_col", "date_added_col"};
}

RNContentListModel::RNContentListModel(QObject* parent) : QAbstractTableModel(parent) {}

QString RNContentListModel::identifierOfColumn(int column) {
    return column >= 0 && column < ColumnCount ? QString::fromLatin1(kIdentifiers[column]) : QString();
}

int RNContentListModel::columnOfIdentifier(const QString& identifier) {
    for (int c = 0; c < ColumnCount; ++c)
        if (identifier == QLatin1String(kIdentifiers[c])) return c;
    return 0;
}

RNSortDescriptor RNContentListModel::prototypeOfColumn(int column) {
    const bool ascending = column == NameColumn || column == OriginalColumn || column == DateColumn;
    return {identifierOfColumn(column), ascending};
}

std::vector<RNLumoWindowItemPtr> RNContentListModel::sortedChildren(std::vector<RNLumoWindowItemPtr> children,
                                                                    const std::vector<RNSortDescriptor>& descriptors) {
    if (descriptors.empty()) return children;
    // Keys are read once per item (sizes and marks change under our feet while folders are
    // measured; a comparison must see one value per item).
    struct Key {
        std::optional<QCollatorSortKey> name;
        bool known = true;  // a place: unknown ones go last in either direction
        uint64_t number = 0;
        double real = 0;
        QString text;
    };
    struct Keyed {
        RNLumoWindowItemPtr item;
        std::vector<Key> keys;
    };
    enum Kind { Name, Number, Real, Text, Place };
    std::vector<Kind> kinds;
    for (const auto& d : descriptors) {
        if (d.key == QLatin1String("name_col")) kinds.push_back(Name);
        else if (d.key == QLatin1String("size_col") || d.key == QLatin1String("check_col")) kinds.push_back(Number);
        else if (d.key == QLatin1String("date_added_col")) kinds.push_back(Real);
        else if (d.key == QLatin1String("original_location_col")) kinds.push_back(Place);
        else kinds.push_back(Text);
    }
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::vector<Keyed> keyed;
    keyed.reserve(children.size());
    for (auto& c : children) {
        Keyed k{std::move(c), {}};
        for (size_t i = 0; i < descriptors.size(); ++i) {
            Key key;
            switch (kinds[i]) {
                case Name: key.name.emplace(collator.sortKey(k.item->displayName())); break;
                case Number:
                    key.number = descriptors[i].key == QLatin1String("size_col") ? k.item->size.load()
                                                                                 : uint64_t(k.item->isMarked.load() ? 1 : 0);
                    break;
                case Real: key.real = k.item->cfDateAdded(); break;
                case Text: key.text = k.item->valueForKey(descriptors[i].key).toString(); break;
                case Place: {
                    const QString place = k.item->displayOriginalPath();
                    key.known = !place.isEmpty();
                    key.name.emplace(collator.sortKey(place));
                    break;
                }
            }
            k.keys.push_back(std::move(key));
        }
        keyed.push_back(std::move(k));
    }
    std::stable_sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
        for (size_t i = 0; i < descriptors.size(); ++i) {
            const Key &x = a.keys[i], &y = b.keys[i];
            int r = 0;
            switch (kinds[i]) {
                case Name: r = x.name->compare(*y.name); break;
                case Number: r = x.number < y.number ? -1 : x.number > y.number ? 1 : 0; break;
                case Real: r = x.real < y.real ? -1 : x.real > y.real ? 1 : 0; break;
                case Text: r = QString::compare(x.text, y.text); break;
                case Place:
                    if (x.known != y.known) return x.known;
                    r = x.name->compare(*y.name);
                    break;
            }
            if (r != 0) return descriptors[i].ascending ? r < 0 : r > 0;
        }
        return false;
    });
    std::vector<RNLumoWindowItemPtr> out;
    out.reserve(keyed.size());
    for (auto& k : keyed) out.push_back(std::move(k.item));
    return out;
}

void RNContentListModel::setSource(const RNSourceItemPtr& source) {
    beginResetModel();
    source_ = source;
    endResetModel();
}

void RNContentListModel::reload() {
    beginResetModel();
    endResetModel();
}

std::vector<RNLumoWindowItemPtr> RNContentListModel::reorder(std::vector<RNLumoWindowItemPtr> children) {
    if (!source_) return children;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    // Only the rows that something holds on to (selection, current row) are looked up: one pass
    // over the new order, however long the list.
    const QModelIndexList from = persistentIndexList();
    std::unordered_map<const RNLumoWindowItem*, int> newRow;
    for (const QModelIndex& i : from)
        if (auto item = itemAt(i.row())) newRow.emplace(item.get(), -1);
    if (!newRow.empty())
        for (size_t r = 0; r < children.size(); ++r)
            if (auto it = newRow.find(children[r].get()); it != newRow.end()) it->second = int(r);
    QModelIndexList to;
    to.reserve(from.size());
    for (const QModelIndex& i : from) {
        auto item = itemAt(i.row());
        const int row = item ? newRow[item.get()] : -1;
        to.push_back(row < 0 ? QModelIndex() : index(row, i.column()));
    }
    source_->children.swap(children);
    changePersistentIndexList(from, to);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    return children;
}

void RNContentListModel::beginAppend(int first, int last) { beginInsertRows({}, first, last); }
void RNContentListModel::endAppend() { endInsertRows(); }

void RNContentListModel::reloadColumn(int column) {
    const int rows = rowCount();
    if (rows > 0) emit dataChanged(index(0, column), index(rows - 1, column));
}

RNLumoWindowItemPtr RNContentListModel::itemAt(int row) const {
    if (!source_ || row < 0 || size_t(row) >= source_->children.size()) return nullptr;
    return source_->children[size_t(row)];
}

int RNContentListModel::rowOfItem(const RNLumoWindowItem* item) const {
    if (!source_) return -1;
    for (size_t i = 0; i < source_->children.size(); ++i)
        if (source_->children[i].get() == item) return int(i);
    return -1;
}

int RNContentListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() || !source_ ? 0 : int(source_->children.size());
}

int RNContentListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant RNContentListModel::data(const QModelIndex& index, int role) const {
    const RNLumoWindowItemPtr item = itemAt(index.row());
    if (!item) return {};
    if (role == ItemRole) return QVariant::fromValue<quintptr>(quintptr(item.get()));
    switch (index.column()) {
        case CheckColumn:
            if (role == Qt::CheckStateRole) return item->isMarked.load() ? Qt::Checked : Qt::Unchecked;
            // A screen reader says whose mark it is (the checked state it reads from the cell).
            if (role == Qt::AccessibleTextRole)
                return QString::fromStdString(util::RNFormat(util::RNLocalizedString("mark_item_accessible"),
                                                             {item->displayName().toStdString()}));
            if (role == Qt::AccessibleDescriptionRole) return ui::L("mark_item_accessible_description");
            return {};
        case NameColumn:
            if (role == Qt::DisplayRole || role == Qt::ToolTipRole || role == Qt::AccessibleTextRole) return item->displayName();
            if (role == Qt::DecorationRole) {
                // Looked up when the row is first drawn, not for every row listed.
                if (!item->listIconLoaded) {
                    QIcon icon = iconForMimeType(mimeTypeOfItem(item->url, item->mode.load()));
                    if (item->name.size() > 1 && item->name[0] == '.')
                        icon = QIcon(ghostIconWithIcon(icon.pixmap(32, 32), QSize(32, 32)));
                    item->listIcon = icon;
                    item->listIconLoaded = true;
                }
                return item->listIcon;
            }
            return {};
        case OriginalColumn:
            if (role == Qt::DisplayRole || role == Qt::ToolTipRole || role == Qt::AccessibleTextRole) {
                // The folder it was in, as file managers show it; the whole path in the tip.
                const std::string path = item->originalPath();
                if (!path.empty()) {
                    if (role == Qt::ToolTipRole) return ui::displayPath(path);
                    const std::string folder = files::deletingLastPathComponent(path);
                    return ui::displayPath(folder.empty() ? std::string("/") : folder);
                }
                // Not read yet, or the trash keeps no (trustworthy) place for it.
                return role == Qt::DisplayRole ? QVariant(QStringLiteral("--")) : QVariant();
            }
            return {};
        case SizeColumn:
            if (role == Qt::DisplayRole) {
                if (!item->sizeIsKnown.load()) return QStringLiteral("--");
                return QString::fromStdString(util::RNNumberUtilities::sharedControl().sizeToFormatString(item->size.load(), 4, true));
            }
            if (role == Qt::TextAlignmentRole) return QVariant(int(Qt::AlignRight | Qt::AlignVCenter));
            return {};
        case DateColumn:
            if (role == SecondsRole) return item->dateAdded.load();
            if (role == Qt::DisplayRole) {
                const double date = item->dateAdded.load();
                if (date == 0) return QStringLiteral("--");
                return QString::fromStdString(util::RNDateUtilities::sharedControl().stringWithSeconds(date, 1, true, true));
            }
            return {};
        default: return {};
    }
}

bool RNContentListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (index.column() != CheckColumn || role != Qt::CheckStateRole) return false;
    const RNLumoWindowItemPtr item = itemAt(index.row());
    if (!item) return false;
    item->isMarked.store(value.toInt() == Qt::Checked);
    emit dataChanged(index, index, {Qt::CheckStateRole});
    emit checkBtnInListDidClick(item.get());
    return true;
}

Qt::ItemFlags RNContentListModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    if (index.column() == CheckColumn) f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant RNContentListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal) return QAbstractTableModel::headerData(section, orientation, role);
    if (role == Qt::DisplayRole && section != CheckColumn) return ui::L(identifierOfColumn(section).toStdString());
    // A check mark as text, drawn in the header's text colour: a symbolic theme icon keeps its
    // own dark colour and vanishes on a dark palette.
    if (role == Qt::DisplayRole && section == CheckColumn) return QStringLiteral("\u2713");
    if (role == Qt::TextAlignmentRole && section == CheckColumn) return QVariant(int(Qt::AlignCenter));
    if ((role == Qt::ToolTipRole || role == Qt::AccessibleTextRole) && section == CheckColumn) return ui::L("check_col");
    if (role == Qt::AccessibleTextRole) return ui::L(identifierOfColumn(section).toStdString());
    if (role == Qt::TextAlignmentRole && section == SizeColumn) return QVariant(int(Qt::AlignRight | Qt::AlignVCenter));
    // A long title (a path's column, in some languages) keeps its beginning in view when the
    // column is narrower, and shows whole as the header's tool tip.
    if (role == Qt::TextAlignmentRole && section == OriginalColumn) return QVariant(int(Qt::AlignLeft | Qt::AlignVCenter));
    if (role == Qt::ToolTipRole) return ui::L(identifierOfColumn(section).toStdString());
    return {};
}

}  // namespace quillo::mainwindow
