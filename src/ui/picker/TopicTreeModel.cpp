#include "ui/picker/TopicTreeModel.h"

#include "ui/WindowStyle.h"

#include <QString>

#include <algorithm>

namespace telvane {

namespace {

bool isAscii(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// UTF-8 bytes order like the scalar values they encode, so the NFC form in
// UTF-8 compares byte-wise. ASCII is its own NFC form.
std::string sortKey(const std::string& name)
{
    if (isAscii(name)) {
        return name;
    }
    return QString::fromStdString(name).normalized(QString::NormalizationForm_C).toStdString();
}

}  // namespace

TopicTreeModel::TopicTreeModel(QObject* parent)
    : QAbstractItemModel(parent),
      tree_(std::make_shared<const TopicTreeNode>()),
      dotIcon_(style::dotIcon()),
      checkmarkIcon_(style::checkmarkIcon()),
      addIcon_(style::addIcon())
{
    root_ = std::make_unique<Branch>();
    root_->node = tree_.get();
}

TopicTreeModel::~TopicTreeModel() = default;

bool TopicTreeModel::nameLess(const std::string& a, const std::string& b)
{
    return sortKey(a) < sortKey(b);
}

void TopicTreeModel::setTree(std::shared_ptr<const TopicTreeNode> tree)
{
    beginResetModel();
    tree_ = tree ? std::move(tree) : std::make_shared<const TopicTreeNode>();
    root_ = std::make_unique<Branch>();
    root_->node = tree_.get();
    sortChildren(*root_);
    endResetModel();
}

void TopicTreeModel::setIsConfigured(std::function<bool(const std::string&)> isConfigured)
{
    isConfigured_ = std::move(isConfigured);
    configuredTopicsChanged();
}

void TopicTreeModel::configuredTopicsChanged()
{
    // Only branches that were opened have rows a view can show.
    std::vector<const Branch*> pending{root_.get()};
    while (!pending.empty()) {
        const Branch* branch = pending.back();
        pending.pop_back();
        if (!branch->sorted.empty()) {
            const int last = static_cast<int>(branch->sorted.size()) - 1;
            emit dataChanged(createIndex(0, kActionColumn, branch), createIndex(last, kActionColumn, branch));
        }
        for (const auto& child : branch->branches) {
            if (child) {
                pending.push_back(child.get());
            }
        }
    }
}

void TopicTreeModel::sortChildren(Branch& branch)
{
    const auto& children = branch.node->children;
    struct Keyed {
        std::string key;
        const TopicTreeNode* node;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(children.size());
    for (const auto& child : children) {
        keyed.push_back({sortKey(child.name), &child});
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
    branch.sorted.clear();
    branch.sorted.reserve(keyed.size());
    for (const auto& entry : keyed) {
        branch.sorted.push_back(entry.node);
    }
    branch.branches.resize(keyed.size());
}

TopicTreeModel::Branch* TopicTreeModel::branchOf(const QModelIndex& index) const
{
    if (!index.isValid()) {
        return root_.get();
    }
    auto* parentBranch = static_cast<Branch*>(index.internalPointer());
    const auto row = static_cast<std::size_t>(index.row());
    auto& slot = parentBranch->branches[row];
    if (!slot) {
        slot = std::make_unique<Branch>();
        slot->node = parentBranch->sorted[row];
        slot->parent = parentBranch;
        slot->row = index.row();
        sortChildren(*slot);
    }
    return slot.get();
}

const TopicTreeNode* TopicTreeModel::node(const QModelIndex& index) const
{
    if (!index.isValid()) {
        return nullptr;
    }
    const auto* parentBranch = static_cast<const Branch*>(index.internalPointer());
    return parentBranch->sorted[static_cast<std::size_t>(index.row())];
}

QModelIndex TopicTreeModel::index(int row, int column, const QModelIndex& parent) const
{
    if (row < 0 || column < 0 || column >= kColumnCount || (parent.isValid() && parent.column() != 0)) {
        return {};
    }
    Branch* branch = branchOf(parent);
    if (static_cast<std::size_t>(row) >= branch->sorted.size()) {
        return {};
    }
    return createIndex(row, column, branch);
}

QModelIndex TopicTreeModel::parent(const QModelIndex& child) const
{
    if (!child.isValid()) {
        return {};
    }
    auto* parentBranch = static_cast<Branch*>(child.internalPointer());
    if (parentBranch->parent == nullptr) {
        return {};
    }
    return createIndex(parentBranch->row, 0, parentBranch->parent);
}

int TopicTreeModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid() && parent.column() != 0) {
        return 0;
    }
    return static_cast<int>(branchOf(parent)->sorted.size());
}

int TopicTreeModel::columnCount(const QModelIndex&) const
{
    return kColumnCount;
}

bool TopicTreeModel::hasChildren(const QModelIndex& parent) const
{
    if (!parent.isValid()) {
        return !tree_->children.empty();
    }
    // Answered without sorting: the view asks this for every visible row.
    return parent.column() == 0 && !node(parent)->children.empty();
}

QVariant TopicTreeModel::data(const QModelIndex& index, int role) const
{
    const TopicTreeNode* item = node(index);
    if (item == nullptr) {
        return {};
    }
    const bool isGroup = !item->children.empty();
    const bool configured = !isGroup && isConfigured_ && isConfigured_(item->fullPath);
    const QString fullPath = QString::fromStdString(item->fullPath);

    switch (role) {
    case kFullPathRole: return fullPath;
    case kCanAddRole: return !isGroup && !configured;
    case kIsConfiguredRole: return configured;
    default: break;
    }

    if (index.column() == kNameColumn) {
        switch (role) {
        case Qt::DisplayRole:
        case Qt::AccessibleTextRole: return QString::fromStdString(item->name);
        case Qt::DecorationRole: return dotIcon_;
        case Qt::ToolTipRole: return fullPath;
        default: return {};
        }
    }
    if (isGroup) {
        return {};
    }
    switch (role) {
    case Qt::DecorationRole: return configured ? checkmarkIcon_ : addIcon_;
    case Qt::ToolTipRole:
    case Qt::AccessibleTextRole:
        return configured ? QStringLiteral("Bereits abonniert: ") + fullPath
                          : QStringLiteral("Topic hinzufügen: ") + fullPath;
    default: return {};
    }
}

}  // namespace telvane
