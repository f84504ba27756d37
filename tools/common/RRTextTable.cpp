/* RRTextTable.cpp - column widths and alignment of CTextTable.
 *
 * Widths count bytes: the router's texts (pool names, hosts, URIs) are
 * ASCII, and anything else reaches the table already escaped.
 */
#include "RRTextTable.h"

#include <algorithm>

#include "RRToolException.h"

CTextTable::CTextTable(std::vector<RRColumn> columns) : mColumns(std::move(columns)) {}

void CTextTable::addRow(std::vector<std::string> cells) {
  if (cells.size() > mColumns.size()) {
    throw CToolException(CToolException::TOOL_USAGE,
                         "table row with " + std::to_string(cells.size()) + " cells for " +
                             std::to_string(mColumns.size()) + " columns");
  }
  cells.resize(mColumns.size());
  mRows.push_back(std::move(cells));
}

std::string CTextTable::render(const std::string& emptyText) const {
  std::vector<std::size_t> widths(mColumns.size());
  for (std::size_t c = 0; c < mColumns.size(); ++c) {
    widths[c] = mColumns[c].header.size();
    for (const auto& row : mRows) widths[c] = std::max(widths[c], row[c].size());
  }
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (std::size_t c = 0; c < cells.size(); ++c) {
      if (c > 0) text += "  ";
      const std::string pad(widths[c] - cells[c].size(), ' ');
      text += mColumns[c].numeric ? pad + cells[c] : cells[c] + pad;
    }
    const std::string::size_type end = text.find_last_not_of(' ');
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text + "\n";
  };
  std::vector<std::string> headers;
  for (const auto& column : mColumns) headers.push_back(column.header);
  std::string text = line(headers);
  for (const auto& row : mRows) text += line(row);
  if (mRows.empty() && !emptyText.empty()) text += emptyText + "\n";
  return text;
}
