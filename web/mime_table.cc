#include "web/mime_table.h"

#include <fstream>
#include <sstream>

#include "web/http_header_list.h"

namespace sl {

namespace {

std::string_view EntryName(std::string_view entry) { return entry.substr(0, entry.find('=')); }

// Sets "ext=type" in the list: replaces the first entry of that extension
// (letter case ignored) or appends. `index` maps lower-case extensions to
// their first entry.
void SetEntry(std::vector<std::string>& entries, std::unordered_map<std::string, size_t>& index,
              std::string_view ext, std::string_view type) {
  std::string line = std::string(ext) + "=" + std::string(type);
  auto [it, added] = index.emplace(LowerCase(ext), entries.size());
  if (added) {
    entries.push_back(std::move(line));
  } else {
    entries[it->second] = std::move(line);
  }
}

}  // namespace

const std::vector<std::string>& TMimeTable::SystemFiles() {
  static const std::vector<std::string> files = {"/etc/mime.types", "/etc/htdig/mime.types",
                                                 "/etc/usr/share/webmin/mime.types"};
  return files;
}

const std::vector<std::string>& TMimeTable::BuiltInEntries() {
  static const std::vector<std::string> entries = {
      ".aiff=audio/x-aiff",
      ".au=audio/basic",
      ".mid=midi/mid",
      ".mp3=audio/x-mpg",
      ".m3u=audio/x-mpegurl",
      ".qcp=audio/vnd.qcelp",
      ".ra=audio/x-realaudio",
      ".wav=audio/x-wav",
      ".gsm=audio/x-gsm",
      ".wax=audio/x-ms-wax",
      ".wma=audio/x-ms-wma",
      ".ram=audio/x-pn-realaudio",
      ".mjf=audio/x-vnd.AudioExplosion.MjuiceMediaFile",
      ".bmp=image/bmp",
      ".gif=image/gif",
      ".jpg=image/jpeg",
      ".jpeg=image/jpeg",
      ".jpe=image/jpeg",
      ".pict=image/x-pict",
      ".png=image/x-png",
      ".svg=image/svg-xml",
      ".tif=image/x-tiff",
      ".rf=image/vnd.rn-realflash",
      ".rp=image/vnd.rn-realpix",
      ".ico=image/x-icon",
      ".art=image/x-jg",
      ".pntg=image/x-macpaint",
      ".qtif=image/x-quicktime",
      ".sgi=image/x-sgi",
      ".targa=image/x-targa",
      ".xbm=image/xbm",
      ".psd=image/x-psd",
      ".pnm=image/x-portable-anymap",
      ".pbm=image/x-portable-bitmap",
      ".pgm=image/x-portable-graymap",
      ".ppm=image/x-portable-pixmap",
      ".rgb=image/x-rgb",
      ".xbm=image/x-xbitmap",
      ".xpm=image/x-xpixmap",
      ".xwd=image/x-xwindowdump",
      ".323=text/h323",
      ".xml=text/xml",
      ".uls=text/iuls",
      ".txt=text/plain",
      ".rtx=text/richtext",
      ".wsc=text/scriptlet",
      ".rt=text/vnd.rn-realtext",
      ".htt=text/webviewhtml",
      ".htc=text/x-component",
      ".vcf=text/x-vcard",
      ".avi=video/x-msvideo",
      ".flc=video/flc",
      ".mpeg=video/x-mpeg2a",
      ".mov=video/quicktime",
      ".rv=video/vnd.rn-realvideo",
      ".ivf=video/x-ivf",
      ".wm=video/x-ms-wm",
      ".wmp=video/x-ms-wmp",
      ".wmv=video/x-ms-wmv",
      ".wmx=video/x-ms-wmx",
      ".wvx=video/x-ms-wvx",
      ".rms=video/vnd.rn-realvideo-secure",
      ".asx=video/x-ms-asf-plugin",
      ".movie=video/x-sgi-movie",
      ".wmd=application/x-ms-wmd",
      ".wms=application/x-ms-wms",
      ".wmz=application/x-ms-wmz",
      ".p12=application/x-pkcs12",
      ".p7b=application/x-pkcs7-certificates",
      ".p7r=application/x-pkcs7-certreqresp",
      ".qtl=application/x-quicktimeplayer",
      ".rtsp=application/x-rtsp",
      ".swf=application/x-shockwave-flash",
      ".sit=application/x-stuffit",
      ".tar=application/x-tar",
      ".man=application/x-troff-man",
      ".urls=application/x-url-list",
      ".zip=application/x-zip-compressed",
      ".cdf=application/x-cdf",
      ".fml=application/x-file-mirror-list",
      ".fif=application/fractals",
      ".spl=application/futuresplash",
      ".hta=application/hta",
      ".hqx=application/mac-binhex40",
      ".doc=application/msword",
      ".pdf=application/pdf",
      ".p10=application/pkcs10",
      ".p7m=application/pkcs7-mime",
      ".p7s=application/pkcs7-signature",
      ".cer=application/x-x509-ca-cert",
      ".crl=application/pkix-crl",
      ".ps=application/postscript",
      ".sdp=application/x-sdp",
      ".setpay=application/set-payment-initiation",
      ".setreg=application/set-registration-initiation",
      ".smil=application/smil",
      ".ssm=application/streamingmedia",
      ".xfdf=application/vnd.adobe.xfdf",
      ".fdf=application/vnd.fdf",
      ".xls=application/x-msexcel",
      ".sst=application/vnd.ms-pki.certstore",
      ".pko=application/vnd.ms-pki.pko",
      ".cat=application/vnd.ms-pki.seccat",
      ".stl=application/vnd.ms-pki.stl",
      ".rmf=application/vnd.rmf",
      ".rm=application/vnd.rn-realmedia",
      ".rnx=application/vnd.rn-realplayer",
      ".rjs=application/vnd.rn-realsystem-rjs",
      ".rmx=application/vnd.rn-realsystem-rmx",
      ".rmp=application/vnd.rn-rn_music_package",
      ".rsml=application/vnd.rn-rsml",
      ".vsl=application/x-cnet-vsl",
      ".z=application/x-compress",
      ".tgz=application/x-compressed",
      ".dir=application/x-director",
      ".gz=application/x-gzip",
      ".uin=application/x-icq",
      ".hpf=application/x-icq-hpf",
      ".pnq=application/x-icq-pnq",
      ".scm=application/x-icq-scm",
      ".ins=application/x-internet-signup",
      ".iii=application/x-iphone",
      ".latex=application/x-latex",
      ".nix=application/x-mix-transfer",
      ".wbmp=image/vnd.wap.wbmp",
      ".wml=text/vnd.wap.wml",
      ".wmlc=application/vnd.wap.wmlc",
      ".wmls=text/vnd.wap.wmlscript",
      ".wmlsc=application/vnd.wap.wmlscriptc",
      ".css=text/css",
      ".htm=text/html",
      ".html=text/html",
      ".shtml=server-parsed-html",
      ".xml=text/xml",
      ".sgm=text/sgml",
      ".sgml=text/sgml",
  };
  return entries;
}

void MergeMimeTypesText(std::string_view text, std::vector<std::string>& entries) {
  std::unordered_map<std::string, size_t> index;
  for (size_t i = entries.size(); i-- > 0;) index[LowerCase(EntryName(entries[i]))] = i;
  while (!text.empty()) {
    size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
    line = line.substr(0, line.find('#'));
    std::vector<std::string_view> fields;
    size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
      size_t start = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
      if (i > start) fields.push_back(line.substr(start, i - start));
    }
    for (size_t f = 1; f < fields.size(); ++f) {
      SetEntry(entries, index, "." + std::string(fields[f]), fields[0]);
    }
  }
}

TMimeTable::TMimeTable(const std::vector<std::string>& mime_files) { Build(mime_files); }

void TMimeTable::Build(const std::vector<std::string>& mime_files) {
  std::vector<std::string> entries = BuiltInEntries();
  for (const std::string& path : mime_files) {
    std::ifstream in(path, std::ios::binary);
    if (!in) continue;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) continue;
    MergeMimeTypesText(text.str(), entries);
  }
  for (const std::string& entry : entries) {
    size_t eq = entry.find('=');
    std::string ext = LowerCase(std::string_view(entry).substr(0, eq));
    if (ext.empty()) continue;
    if (ext[0] != '.') ext.insert(ext.begin(), '.');
    if (index_.count(ext) != 0) continue;
    std::string type =
        eq == std::string::npos ? std::string() : LowerCase(std::string_view(entry).substr(eq + 1));
    index_.emplace(ext, extensions_.size());
    extensions_.push_back(std::move(ext));
    types_.push_back(std::move(type));
  }
}

std::string TMimeTable::TypeOfExtension(std::string_view extension) const {
  auto it = index_.find(std::string(extension));
  return it == index_.end() ? std::string() : types_[it->second];
}

std::string TMimeTable::LookupMimeType(std::string_view file_name) const {
  size_t dot = file_name.rfind('.');
  size_t slash = file_name.rfind('/');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && slash > dot)) {
    return kDefaultMimeType;
  }
  std::string type = TypeOfExtension(LowerCase(file_name.substr(dot)));
  return type.empty() ? std::string(kDefaultMimeType) : type;
}

}  // namespace sl
