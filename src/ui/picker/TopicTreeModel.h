#pragma once

// An item model over a TopicTreeNode for the topic picker. Column 0 is the
// level name; column 1, for nodes without children, is the checkmark of a
// configured topic or the add button of one that is not.
//
// Children are sorted only when their parent is first asked for them, which
// a tree view does when the group is opened: opening the picker over a
// hundred thousand topics sorts the top level and nothing else.

#include "ui/picker/TopicTreeNode.h"

#include <QAbstractItemModel>
#include <QIcon>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace telvane {

class TopicTreeModel final : public QAbstractItemModel {
    Q_OBJECT

public:
    enum Column { kNameColumn = 0, kActionColumn = 1, kColumnCount = 2 };
    enum Role {
        kFullPathRole = Qt::UserRole + 1,  // QString
        kCanAddRole,                       // bool: a node without children, not configured
        kIsConfiguredRole,                 // bool: a node without children, configured
    };

    explicit TopicTreeModel(QObject* parent = nullptr);
    ~TopicTreeModel() override;

    // Shows `tree` (its root is not shown). Resets the model.
    void setTree(std::shared_ptr<const TopicTreeNode> tree);
    // Decides which rows show the checkmark.
    void setIsConfigured(std::function<bool(const std::string&)> isConfigured);
    // The configured topics changed: the action column is redrawn.
    void configuredTopicsChanged();

    // The node of `index`, or null for the invisible root.
    [[nodiscard]] const TopicTreeNode* node(const QModelIndex& index) const;

    // Orders sibling names by their Unicode scalar values in NFC form, without
    // locale or case folding ("B" before "a").
    [[nodiscard]] static bool nameLess(const std::string& a, const std::string& b);

    [[nodiscard]] QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    [[nodiscard]] QModelIndex parent(const QModelIndex& child) const override;
    [[nodiscard]] int rowCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] int columnCount(const QModelIndex& parent = {}) const override;
    [[nodiscard]] bool hasChildren(const QModelIndex& parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    // The sorted children of one node, built on first use.
    struct Branch {
        const TopicTreeNode* node = nullptr;
        Branch* parent = nullptr;
        int row = 0;  // of `node` within parent
        std::vector<const TopicTreeNode*> sorted;
        std::vector<std::unique_ptr<Branch>> branches;  // per row, made on demand
    };

    [[nodiscard]] Branch* branchOf(const QModelIndex& index) const;
    static void sortChildren(Branch& branch);

    std::shared_ptr<const TopicTreeNode> tree_;
    std::unique_ptr<Branch> root_;
    std::function<bool(const std::string&)> isConfigured_;
    QIcon dotIcon_;
    QIcon checkmarkIcon_;
    QIcon addIcon_;
};

}  // namespace telvane
