#include "core/proxy/GssNegotiate.h"

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_krb5.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace corvantis {

namespace {

struct NameDeleter {
    void operator()(gss_name_t name) const
    {
        if (name != GSS_C_NO_NAME) {
            OM_uint32 minor = 0;
            gss_release_name(&minor, &name);
        }
    }
};
using NameHolder = std::shared_ptr<std::remove_pointer_t<gss_name_t>>;

std::string statusText(OM_uint32 major, OM_uint32 minor)
{
    return GetGssStatusText(major, true) + " (" + GetGssStatusText(minor, false) + ")";
}

} // namespace

std::string GetGssStatusText(uint32_t status, bool gssCode)
{
    std::string text;
    OM_uint32 context = 0;
    do {
        OM_uint32 minor = 0;
        gss_buffer_desc message = GSS_C_EMPTY_BUFFER;
        const OM_uint32 major = gss_display_status(
            &minor, status, gssCode ? GSS_C_GSS_CODE : GSS_C_MECH_CODE, GSS_C_NO_OID, &context, &message);
        if (GSS_ERROR(major))
            break;
        text.append(static_cast<const char*>(message.value), message.length);
        gss_release_buffer(&minor, &message);
    } while (context != 0);
    return text;
}

bool GetNegotiateToken(std::string& error, std::vector<uint8_t>& token, const char* hostName)
{
    error.clear();
    std::string service = "HTTP@";
    service += hostName != nullptr ? hostName : "";

    // The length counts the terminating zero byte as well.
    gss_buffer_desc nameBuffer;
    nameBuffer.value = service.data();
    nameBuffer.length = service.size() + 1;
    OM_uint32 minor = 0;
    gss_name_t rawName = GSS_C_NO_NAME;
    OM_uint32 major = gss_import_name(&minor, &nameBuffer, GSS_C_NT_HOSTBASED_SERVICE, &rawName);
    NameHolder name(rawName, NameDeleter());
    if (GSS_ERROR(major)) {
        error = "No valid token acquired for Name not acqured " + statusText(major, minor);
        return false;
    }

    gss_ctx_id_t context = GSS_C_NO_CONTEXT;
    gss_buffer_desc output = GSS_C_EMPTY_BUFFER;
    major = gss_init_sec_context(&minor, GSS_C_NO_CREDENTIAL, &context, name.get(), GSS_C_NO_OID, 0, 0,
        GSS_C_NO_CHANNEL_BINDINGS, GSS_C_NO_BUFFER, nullptr, &output, nullptr, nullptr);
    bool ok = false;
    if (major == GSS_S_COMPLETE) {
        const auto* bytes = static_cast<const uint8_t*>(output.value);
        token.insert(token.end(), bytes, bytes + output.length);
        ok = true;
    } else {
        error = "No valid token acquired for Initializing context" + statusText(major, minor);
    }
    if (context != GSS_C_NO_CONTEXT) {
        OM_uint32 ignored = 0;
        gss_delete_sec_context(&ignored, &context, GSS_C_NO_BUFFER);
    }
    OM_uint32 ignored = 0;
    gss_release_buffer(&ignored, &output);
    return ok;
}

} // namespace corvantis

extern "C" bool GssGetNegotiateToken(
    const char* hostName, size_t* textLength, char* text, size_t* tokenLength, unsigned char* token)
{
    std::string error;
    std::vector<uint8_t> bytes;
    const bool ok = corvantis::GetNegotiateToken(error, bytes, hostName);
    if (textLength != nullptr) {
        const size_t capacity = text != nullptr ? *textLength : 0;
        const size_t n = std::min(capacity, error.size());
        if (n > 0)
            std::memcpy(text, error.data(), n);
        if (n < capacity)
            text[n] = '\0';
        *textLength = n;
    }
    if (tokenLength != nullptr) {
        const size_t capacity = token != nullptr ? *tokenLength : 0;
        const size_t n = ok ? std::min(capacity, bytes.size()) : 0;
        if (n > 0)
            std::memcpy(token, bytes.data(), n);
        *tokenLength = n;
    }
    return ok;
}
