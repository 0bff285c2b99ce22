#pragma once

// The geolocation service's answer about the client's public address.
// Immutable once read.

#include <string>

#include "engine/manifest/Manifest.h"

namespace tvl {

class GeolocationManifest : public InputManifest {
public:
    virtual const std::string& GetIp() const = 0;
    virtual const std::string& GetCountryCode() const = 0;
    virtual const std::string& GetCountryName() const = 0;
    virtual const std::string& GetCountryCode3() const = 0;
    virtual const std::string& GetContinentCode() const = 0;
    virtual const std::string& GetIsp() const = 0;
};

// Read from the service's JSON object; "ip" and "country_code" are required.
class StandardGeolocationManifest : public GeolocationManifest {
public:
    void Read(const boost::property_tree::ptree& tree) override;
    const std::string& GetIp() const override { return ip_; }
    const std::string& GetCountryCode() const override { return countryCode_; }
    const std::string& GetCountryName() const override { return countryName_; }
    const std::string& GetCountryCode3() const override { return countryCode3_; }
    const std::string& GetContinentCode() const override { return continentCode_; }
    const std::string& GetIsp() const override { return isp_; }

private:
    std::string ip_;
    std::string countryName_;
    std::string countryCode_;
    std::string countryCode3_;
    std::string continentCode_;
    std::string isp_;
};

}  // namespace tvl
