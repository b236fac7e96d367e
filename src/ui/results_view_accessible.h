#pragma once

class QAccessibleInterface;

namespace findlark {

class ResultsView;

// How screen readers see the results view: a tree of thirteen category nodes and their hits,
// which is also a table of the rows on show (one column), with a hit's tip as its
// description and expand and collapse as actions. Kept apart from the view as Qt keeps its
// accessible tree apart from QTreeView.
void InstallResultsViewAccessibility();

// A category node (record -1) or a hit's interface, for the view to cache by its item.
QAccessibleInterface* NewResultsItemAccessible(ResultsView* view, int category, long long record);

}  // namespace findlark
