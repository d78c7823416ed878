#include "app/deployers.h"

#include "deploy/sslcertsrvbase.h"
#include "enrollment/certcentercomm.h"
#include "foundation/format.h"

#ifdef QUILLMATE_HAVE_NGINX_DEPLOYER
#include "deploy/nginx/sslcertsrvnginx.h"
#endif
#ifdef QUILLMATE_HAVE_APACHE_DEPLOYER
#include "deploy/apache/sslcertsrvapache.h"
#endif
#ifdef QUILLMATE_HAVE_TOMCAT_DEPLOYER
#include "deploy/tomcat/sslcertsrvtomcat.h"
#endif
#ifdef QUILLMATE_HAVE_IIS_DEPLOYER
#include "deploy/iis/sslcertsrviis.h"
#endif

namespace qm {

std::unique_ptr<SslCertSrvBase> CreateDeployer(int32_t type) {
    switch (type) {
#ifdef QUILLMATE_HAVE_IIS_DEPLOYER
        case 0:
            return std::make_unique<SslCertSrvIIS>();
#endif
#ifdef QUILLMATE_HAVE_APACHE_DEPLOYER
        case 1:
            return std::make_unique<SslCertSrvApache>();
#endif
#ifdef QUILLMATE_HAVE_TOMCAT_DEPLOYER
        case 2:
            return std::make_unique<SslCertSrvTomcat>();
#endif
#ifdef QUILLMATE_HAVE_NGINX_DEPLOYER
        case 3:
            return std::make_unique<SslCertSrvNginx>();
#endif
        default:
            return nullptr;
    }
}

int32_t WebServerTypeOfKind(std::u16string_view kind) {
    static constexpr std::u16string_view kKinds[] = {u"iis", u"apache", u"tomcat", u"nginx"};
    for (int32_t type = 0; type < 4; ++type) {
        if (kKinds[type] == kind)
            return type;
    }
    return -1;
}

bool IsDeployerAvailable(int32_t type) {
    bool available = false;
#ifdef QUILLMATE_HAVE_IIS_DEPLOYER
    available = available || type == 0;
#endif
#ifdef QUILLMATE_HAVE_APACHE_DEPLOYER
    available = available || type == 1;
#endif
#ifdef QUILLMATE_HAVE_TOMCAT_DEPLOYER
    available = available || type == 2;
#endif
#ifdef QUILLMATE_HAVE_NGINX_DEPLOYER
    available = available || type == 3;
#endif
    (void)type;
    return available;
}

std::u16string WebServerTypeName(int32_t type) {
    switch (type) {
        case 0:
            return u"IIS";
        case 1:
            return u"Apache";
        case 2:
            return u"Tomcat";
        case 3:
            return u"Nginx";
        default:
            return u"unknown";
    }
}

std::u16string MissingDeployerMessage(int32_t type) {
    if (type < 0 || type > 3)
        return FormatWide(u"no deployer for the web server type %d", type);
    return FormatWide(u"the %s deployer is not part of this build", WebServerTypeName(type));
}

ExpiryDate ExpiryOf(const SslCertSrvBase& engine) {
    CalendarTime time{};
    engine.GetCertExpireTime(time);
    return ExpiryDate{static_cast<int32_t>(time.year), static_cast<int32_t>(time.month),
                      static_cast<int32_t>(time.day)};
}

}  // namespace qm
