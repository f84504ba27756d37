/* RRStatusPage.cpp - the page text, generated from RRStatusPage.html. */
#include "RRStatusPage.h"

const std::string& RRStatusPageHtml() {
  static const std::string page =
#include "RRStatusPageHtml.inc"
      ;
  return page;
}

const char* RRStatusPagePolicy() {
  return "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'; "
         "img-src data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
}
