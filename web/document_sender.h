// DocumentSender: what a request handler needs of the HTTP server that
// called it, and nothing more: sending a file as the reply, the content
// type of a file name, and whether the handler is to decode the request's
// parameters. TCustomHTTPServer implements it; the administration sees
// the server only through it.
#ifndef SL_WEB_DOCUMENT_SENDER_H_
#define SL_WEB_DOCUMENT_SENDER_H_

#include <cstdint>
#include <string>

#include "web/http_response.h"
#include "web/tcp_connection.h"

namespace sl {

class DocumentSender {
 public:
  virtual ~DocumentSender() = default;

  // Sends the file `file_name` as the reply on `connection` (see
  // TCustomHTTPServer::SendFile); returns the bytes of the file that were
  // sent, `file_size` (when given) the size of the file opened.
  virtual int64_t SendFile(TTCPConnection& connection, THTTPResponseInfo& response,
                           const std::string& file_name, int64_t* file_size) = 0;
  // The content type of a file name's extension.
  virtual std::string MimeTypeOf(const std::string& file_name) const = 0;
  // The server's ParseParams: whether DecodeRequestFields splits the
  // parameters.
  virtual bool ParsesParams() const = 0;
};

}  // namespace sl

#endif
