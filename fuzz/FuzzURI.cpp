// URL parsing, masking, rebuilding and path merging on any bytes. The input is a URL; after
// its first line break comes a relative path to merge with the URL's path.
#include "net/http/NetURI.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize)
{
    std::string Input(reinterpret_cast<const char*>(AData), ASize);
    size_t Nl = Input.find('\n');
    std::string Text = Input.substr(0, Nl);
    std::string Relative = Nl == std::string::npos ? std::string() : Input.substr(Nl + 1);

    TNetURI U(Text);
    // The path is a directory: empty or ending in "/", and rooted when there is an authority.
    if (!U.Path.empty() && U.Path.back() != '/')
        std::abort();
    if (!U.Protocol.empty() && U.Path.front() != '/')
        std::abort();
    try {
        std::string Full = U.FullText(ufUserInfo | ufFragment);
        std::string Target = U.URIText();
        if (U.Text != Full || Target.size() > Full.size())
            std::abort();
    } catch (const ENetURIException&) {
    }

    // Shown or as a label, the URL never holds the password that a connect would send, where
    // it is long enough to be told from the rest and made of other characters than the mask.
    const std::string Shown = MaskURL(Text);
    const std::string Label = MaskURL(Text, umLabel);
    const std::string& Sent = U.Password;
    if (URIUserInfoFault(Text).empty() && Sent.size() >= 4 && Sent.find('*') == std::string::npos
        && Text.find(Sent) == Text.rfind(Sent)
        && (Shown.find(Sent) != std::string::npos || Label.find(Sent) != std::string::npos))
        std::abort();
    if (Label.size() > Shown.size())
        std::abort();

    std::string Merged = TNetURI::MergePath(U.Path, Relative, "/");
    // Merging only ever drops characters (and adds the one delimiter between the two).
    if (Merged.size() > U.Path.size() + 1 + Relative.size())
        std::abort();
    TNetURI::MergePath(Relative, U.Resource + U.Query, "/");
    TNetURI::MergePath(U.Path, Relative, "::");
    return 0;
}
