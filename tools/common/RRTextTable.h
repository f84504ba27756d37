/* RRTextTable.h - aligned text tables for terminal output.
 *
 * A CTextTable has a header row and any number of data rows; render() pads
 * every column to its widest cell, right-aligns the columns declared numeric
 * and left-aligns the others, and separates columns by two blanks. A row
 * with fewer cells than headers is padded with empty cells; extra cells are
 * an error, so a formatting mistake cannot silently shift columns.
 *
 * Thread safety: one table belongs to one thread at a time.
 */
#ifndef RRTEXTTABLE_H
#define RRTEXTTABLE_H

#include <cstddef>
#include <string>
#include <vector>

struct RRColumn {
  std::string header;
  bool numeric = false;
};

class CTextTable {
 public:
  explicit CTextTable(std::vector<RRColumn> columns);

  /* Appends a row; throws CToolException TOOL_USAGE when it has more cells
   * than the table has columns. */
  void addRow(std::vector<std::string> cells);
  /* Number of data rows. */
  std::size_t rows() const { return mRows.size(); }
  /* The table: header line and one line per row, each ending in "\n", with
   * no blanks at the line ends. With no rows, emptyText (when not empty)
   * follows the header on a line of its own. */
  std::string render(const std::string& emptyText = "") const;

 private:
  std::vector<RRColumn> mColumns;
  std::vector<std::vector<std::string>> mRows;
};

#endif /* RRTEXTTABLE_H */
