/* ASRequestInfo.h - the description of one web request that wants an application server.
 *
 * A CASRequestInfo says who asks (client address, attempt count), for which
 * pool, store and site, with which URI and extension, and under which limits
 * (negative limit: not set). Its text form is the body of the get-server
 * datagram: the fields separated by white space in the order
 *   clientIP tries maxTries httpHost uriPrefix extension poolName storeName
 *   siteGUID siteMaxServers poolMaxServersPerSite poolMaxServersPerClient
 *   extMaxServers uri
 * Text fields cannot hold white space and an empty text field cannot be
 * represented (the reader would take the next token for it). White space is
 * blank, tab, line feed, carriage return, vertical tab and form feed; numbers
 * are decimal with an optional sign, as the "C" locale reads them.
 *
 * Thread safety: an object is not locked; share it read-only or not at all.
 */
#ifndef ASREQUESTINFO_H
#define ASREQUESTINFO_H

#include <cstddef>
#include <iosfwd>
#include <string>

class CASRequestInfo {
 public:
  /* A URI longer than this is written shortened. */
  static constexpr std::size_t MAX_WRITTEN_URI = 150;
  /* The shortened URI keeps this many characters and gets "..." appended. */
  static constexpr std::size_t SHORTENED_URI_KEEP = 147;
  /* The first dot of a URI must lie at this position or before it. */
  static constexpr std::size_t MAX_DOT_POSITION = 255;
  /* The longest extension splitUri accepts. */
  static constexpr std::size_t MAX_EXTENSION_LENGTH = 20;

  /* All fields at their defaults: empty texts, limits -1, tries and maxTries 0. */
  CASRequestInfo();
  /* Sets host, URI, client and attempt counts, the limits to -1, and derives
   * uriPrefix and extension from the URI; throws CException when the URI
   * cannot be split (see splitUri). */
  CASRequestInfo(const std::string& httpHost, const std::string& uri, const std::string& clientIP,
                 int tries, int maxTries);

  /* Sets the URI and splits it again; throws CException and changes nothing
   * when the URI cannot be split. */
  void setUri(const std::string& uri);
  /* The URI. */
  const std::string& getUri() const { return uri; }

  /* Derives uriPrefix (up to and including the first ".") and extension (the
   * characters after that dot up to the next "?" or "/") from uri. Throws
   * CException with a message naming the problem and the URI when there is
   * no dot within the first 256 characters, when the prefix or the extension
   * holds white space, or when the extension is longer than 20 characters;
   * the fields are then unchanged. */
  void splitUri();

  /* Writes the text form to os: one blank after every field up to
   * extMaxServers, then the URI (a URI over 150 characters as its first 147
   * characters and "..."). Returns os. */
  std::ostream& operator<<(std::ostream& os) const;
  /* Reads the text form from is with scan() over the rest of the stream.
   * Returns is, failed when scan() returns false and at its end when the
   * text was used up; a seekable stream is left just after the last
   * character read, like a field-by-field stream read would. */
  std::istream& operator>>(std::istream& is);

  /* What scanNumber found. */
  enum ScanResult { SCAN_NUMBER, SCAN_END, SCAN_NOT_A_NUMBER };

  /* Reads the text form from text[0, size) (it need not end in a NUL). Every
   * field starts at its default; a text that ends early leaves the rest at
   * the defaults; a number field that does not hold a number (or does not
   * fit an int) becomes 0 and ends the reading. An empty uri becomes
   * uriPrefix + extension. Stores in *pUsed (when not null) how many
   * characters were read: a number ends before the first character that is
   * not a digit, a text field at the first white space, and nothing after
   * the uri is read. Returns false when the reading ended early, true when
   * all fields were read. */
  bool scan(const char* text, std::size_t size, std::size_t* pUsed = nullptr);

  /* Skips white space from text[*pPos] and reads a decimal int (optional
   * sign, then digits), advancing *pPos past what it read. Returns
   * SCAN_NUMBER with *pValue set, SCAN_END when only white space was left,
   * or SCAN_NOT_A_NUMBER (no digits, or out of the int range) with *pValue
   * unchanged. */
  static ScanResult scanNumber(const char* text, std::size_t size, std::size_t* pPos,
                               int* pValue);

  std::string uriPrefix;
  std::string clientIP;
  std::string httpHost;
  std::string poolName;
  std::string storeName;
  std::string siteGUID;
  std::string extension;
  int siteMaxServers = -1;
  int poolMaxServersPerSite = -1;
  int poolMaxServersPerClient = -1;
  int extMaxServers = -1;
  int tries = 0;
  int maxTries = 0;
  std::string uri;
};

/* Writes the text form of info (see CASRequestInfo::operator<<). */
std::ostream& operator<<(std::ostream& os, const CASRequestInfo& info);
/* Reads the text form into info (see CASRequestInfo::operator>>). */
std::istream& operator>>(std::istream& is, CASRequestInfo& info);

#endif /* ASREQUESTINFO_H */
