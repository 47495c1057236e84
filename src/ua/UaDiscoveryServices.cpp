#include "ua/UaServer.h"

#include "app/Platform.h"
#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/TextFormat.h"
#include "app/TimeDate.h"
#include "ua/UaNodeIds.h"
#include "ua/UaStatusCodes.h"
#include "ua/security/UaChannelSecurity.h"
#include "ua/security/UaSessionSecurity.h"

#include <algorithm>
#include <cmath>

// Discovery service set: GetEndpoints, FindServers.
namespace dravon {

void TUaServer::WriteEndpoints(TUaBinaryWriter& w, const std::string& url) {
    TUaApplicationDescription app;
    app.ApplicationUri = ApplicationUri();
    app.ProductUri = ProductUriText;
    app.ApplicationName = {std::string("en"), std::string(ProductNameText)};
    app.DiscoveryUrls = {url};
    WriteUaEndpoints(w, url, app, Security_, TransportProfileUri);
}

void TUaServer::GetEndpoints(TRequest& r, TUaBinaryReader& in) {
    TUaGetEndpointsRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed GetEndpoints");
    bool offered = m.ProfileUris.empty() || std::find(m.ProfileUris.begin(), m.ProfileUris.end(),
                                                      TransportProfileUri) != m.ProfileUris.end();
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::GetEndpointsResponse, Now(), m.Header.RequestHandle);
    if (offered)
        WriteEndpoints(w, m.EndpointUrl.empty() ? EndpointUrl() : m.EndpointUrl);
    else
        w.ArrayLength(0);
    Reply(r, w.Bytes());
}

void TUaServer::FindServers(TRequest& r, TUaBinaryReader& in) {
    TUaFindServersRequest m;
    if (!Decode(in, m)) return r.Channel.Fail(UaStatus::BadDecodingError, "Malformed FindServers");
    bool match = m.ServerUris.empty() ||
                 std::find(m.ServerUris.begin(), m.ServerUris.end(), ApplicationUri()) != m.ServerUris.end();
    TUaBinaryWriter w;
    WriteResponseStart(w, UaId::FindServersResponse, Now(), m.Header.RequestHandle);
    w.ArrayLength(match ? 1 : 0);
    if (match) {
        TUaApplicationDescription app;
        app.ApplicationUri = ApplicationUri();
        app.ProductUri = ProductUriText;
        app.ApplicationName = {std::string("en"), std::string(ProductNameText)};
        app.DiscoveryUrls = {m.EndpointUrl.empty() ? EndpointUrl() : m.EndpointUrl};
        WriteApplicationDescription(w, app);
    }
    Reply(r, w.Bytes());
}

} // namespace dravon
