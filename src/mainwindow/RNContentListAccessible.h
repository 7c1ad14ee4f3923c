// The content list as assistive technologies (AT-SPI, screen readers) see it. Qt's own table
// interface reads a check box cell as a plain cell whose one action selects its row: the marks
// could be heard but not set. Here the check column's cells are check boxes, named after their
// item, whose toggle action marks or unmarks it; the other cells name what they show and take
// the focus; the column headers sort when pressed, as a click does. The children keep Qt's own
// numbering (a header row and a row-header column first), which the view's focus and selection
// events use.
#pragma once

namespace quillo::mainwindow {

class RNContentTableView;

// Installs the interface for RNContentTableView (once; later calls do nothing).
void installContentListAccessibility();

// Tells assistive technologies that the check box of `row` changed (a mark set from the keyboard
// or the menu), so that a screen reader says so. Nothing when none is listening.
void announceMarkChanged(RNContentTableView* view, int row);

}  // namespace quillo::mainwindow
