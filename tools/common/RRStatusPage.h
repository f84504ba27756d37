/* RRStatusPage.h - the HTML status page that "rrctl exporter" serves on "/".
 *
 * One self-contained document: its style sheet and script are inline and
 * it loads nothing from elsewhere; the script reads /api/pools,
 * /api/servers, /api/peers and /api/history of the same exporter every 2 s
 * and /api/explain on request (RRStatusBoard.h). The text is edited in
 * RRStatusPage.html and compiled into the program at build time.
 *
 * Thread safety: the text is a constant.
 */
#ifndef RRSTATUSPAGE_H
#define RRSTATUSPAGE_H

#include <string>

const std::string& RRStatusPageHtml();

/* The Content-Security-Policy sent with the page: inline style and script,
 * requests to the exporter itself, nothing else. */
const char* RRStatusPagePolicy();

#endif /* RRSTATUSPAGE_H */
