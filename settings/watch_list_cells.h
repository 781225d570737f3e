// The checks of a watch list that need nothing but its cells.
//
// A start or a reload refuses a watch list for bad cells and for files it
// may not open. CheckWatchListCells makes the first kind of check alone, so
// that a list meant for another host (the console's, before it posts one)
// can be judged where its files do not exist.
#ifndef SL_SETTINGS_WATCH_LIST_CELLS_H_
#define SL_SETTINGS_WATCH_LIST_CELLS_H_

#include <string>
#include <vector>

#include "settings/csv_table.h"
#include "settings/settings_files.h"

namespace sl {

// Every problem of the cells of conf that ReadWatchList refuses (a
// SearchCount that is not an integer), row by row. The first row of conf is
// numbered first_row (2 for a file, whose header is row 1).
std::vector<SettingsProblem> CheckWatchListCells(CsvTable& conf, const std::string& source,
                                                 int first_row = 2);

}  // namespace sl

#endif
