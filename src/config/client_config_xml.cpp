// A session's configuration record as one IOSERVERn element of the configuration file.
#include <pugixml.hpp>

#include <algorithm>

#include "config/config_error.h"
#include "config/decimal.h"
#include "config/delimited_list.h"
#include "platform/net.h"
#include "tunnel/client.h"
#include "tunnel/com_chanel.h"
#include "tunnel/net_chanel.h"

namespace murvik {

namespace {

// Reads the attributes of one element and names it in every error.
class Attrs {
 public:
  Attrs(const pugi::xml_node& node, std::string where) : node_(node), where_(std::move(where)) {}

  const std::string& Where() const { return where_; }
  bool Has(const char* name) const { return static_cast<bool>(node_.attribute(name)); }

  std::string Text(const char* name) const { return Required(name).value(); }

  std::int32_t Int(const char* name) const {
    pugi::xml_attribute a = Required(name);
    std::int32_t v = 0;
    if (!ParseDecimalInt32(a.value(), &v)) Fail("attribute " + std::string(name) + " \"" + a.value() + "\" is not a decimal integer");
    return v;
  }

  std::int32_t Count(const char* name) const {
    std::int32_t v = Int(name);
    if (v < 0) Fail("attribute " + std::string(name) + " " + std::to_string(v) + " is not a count");
    return v;
  }

  std::uint32_t Ip(const char* name) const { return platform::Ipv4FromText(Text(name)); }

  pugi::xml_node Child(const std::string& name) const {
    pugi::xml_node c = node_.child(name.c_str());
    if (!c) Fail("missing element " + name);
    return c;
  }

  [[noreturn]] void Fail(const std::string& why) const { throw ConfigError(where_ + ": " + why); }

 private:
  pugi::xml_attribute Required(const char* name) const {
    pugi::xml_attribute a = node_.attribute(name);
    if (!a) Fail("missing attribute " + std::string(name));
    return a;
  }

  pugi::xml_node node_;
  std::string where_;
};

void Set(pugi::xml_node& node, const char* name, const std::string& value) {
  node.append_attribute(name).set_value(value.c_str());
}
void Set(pugi::xml_node& node, const char* name, std::int32_t value) { Set(node, name, std::to_string(value)); }
void SetIp(pugi::xml_node& node, const char* name, std::uint32_t ip) { Set(node, name, platform::Ipv4ToText(ip)); }

void LoadCom(const Attrs& a, TComChanel& c) {
  c.USE = a.Int("USE");
  c.VPORT = a.Text("VPORT");
  c.DPORT = a.Text("DPORT");
  c.PlcType = a.Int("PlcType");
  c.TransMode = a.Int("TransMode");
  c.BaudRate = a.Int("BaudRate");
  c.ByteSize = a.Int("ByteSize");
  c.Parity = a.Int("Parity");
  c.StopBits = a.Int("StopBits");
  c.Other = a.Text("Other");
}

void LoadNet(const Attrs& a, const pugi::xml_node& ch, TNetChanel& c) {
  c.USE = a.Int("USE");
  c.NETNAME = a.Text("NETNAME");
  c.IP = a.Ip("IP");
  c.NETMASK = a.Ip("NETMASK");
  c.IPMIN = a.Ip("IPMIN");
  c.IPMAX = a.Ip("IPMAX");
  pugi::xml_node netdev = ch.child("NETDEV");
  if (!netdev) return;
  Attrs d(netdev, a.Where() + "/NETDEV");
  const std::int32_t count = d.Count("COUNT");
  const std::int32_t use = d.Int("USE");
  // A selection beyond the list would point the filter at no device.
  if (use < 0 || use > count)
    d.Fail("selected device " + std::to_string(use) + " is outside 0.." + std::to_string(count));
  std::vector<std::unique_ptr<TNetDevice>> devices;
  for (std::int32_t k = 0; k < count; ++k) {
    const std::string item = "ITEM" + std::to_string(k);
    Attrs i(d.Child(item), d.Where() + "/" + item);
    auto dev = std::make_unique<TNetDevice>();
    dev->name = i.Text("NAME");
    dev->description = i.Text("DESP");
    dev->IP = i.Ip("IP");
    devices.push_back(std::move(dev));
  }
  for (auto& dev : devices) c.devices.push_back(std::move(dev));
  c.selectedDevice = use;
}

void LoadTrans(const Attrs& t, TClient& s) {
  const std::int32_t count = t.Count("COUNT");
  const std::int32_t use = t.Int("USE");
  for (std::int32_t k = 0; k < count; ++k) {
    const std::string name = "ID" + std::to_string(k);
    const std::string text = t.Text(name.c_str());
    // Written unquoted, so a text with a blank, comma or quote comes back split differently;
    // a leading quote can even swallow the rest. Missing texts are empty rather than failing
    // the whole file on an entry that we wrote ourselves.
    std::vector<std::string> items = ReadDelimitedText(text, ',');
    TransServerItem relay;
    if (items.empty() || !ParseDecimalInt32(items[0], &relay.id))
      t.Fail("attribute " + name + " \"" + text + "\" does not start with a decimal relay id");
    items.resize(std::max<std::size_t>(items.size(), 4));
    relay.title = items[1];
    relay.note = items[2];
    relay.address = items[3];
    s.relays.push_back(relay);
    if (relay.id == use) s.selectedRelayId = use;
  }
}

}  // namespace

void TClient::LoadConfig(const pugi::xml_node& element) {
  Attrs a(element, element.name());
  LOGNAME = a.Text("LOGNAME");
  LOGPORT = a.Int("LOGPORT");
  SN = a.Text("SN");
  PWD = a.Has("PWD2") ? a.Text("PWD2") : a.Text("PWD");
  NAME = a.Text("NAME");
  BRIEF = a.Text("BRIEF");
  if (a.Has("GROUP")) GROUP = a.Text("GROUP");

  const std::int32_t chcnt = a.Count("CHCNT");
  if (static_cast<std::size_t>(chcnt) > channels.size())
    a.Fail("CHCNT " + std::to_string(chcnt) + " is more than the " + std::to_string(channels.size()) +
           " channels of model " + std::to_string(model));
  for (std::int32_t n = 0; n < chcnt; ++n) {
    const std::string name = "CH" + std::to_string(n);
    pugi::xml_node ch = a.Child(name);
    Attrs c(ch, a.Where() + "/" + name);
    const std::string type = c.Text("TYPE");
    TChanel* channel = channels[static_cast<std::size_t>(n)].get();
    if (type == "COM") {
      if (channel->kind != TChanel::kSerial) c.Fail("TYPE COM, but channel " + std::to_string(n) + " is the network channel");
      LoadCom(c, *static_cast<TComChanel*>(channel));
    } else if (type == "NET") {
      if (channel->kind != TChanel::kNetwork) c.Fail("TYPE NET, but channel " + std::to_string(n) + " is a serial channel");
      LoadNet(c, ch, *static_cast<TNetChanel*>(channel));
    }
    // any other TYPE: passed over
  }

  if (pugi::xml_node trans = element.child("TRANS")) LoadTrans(Attrs(trans, a.Where() + "/TRANS"), *this);
}

void TClient::SaveConfig(pugi::xml_node& element) const {
  Set(element, "LOGNAME", LOGNAME);
  Set(element, "LOGPORT", LOGPORT);
  Set(element, "SN", SN);
  Set(element, "PWD", PWD);
  Set(element, "NAME", NAME);
  Set(element, "GROUP", GROUP);
  Set(element, "BRIEF", BRIEF);
  Set(element, "CHCNT", static_cast<std::int32_t>(channels.size()));

  for (std::size_t n = 0; n < channels.size(); ++n) {
    pugi::xml_node ch = element.append_child(("CH" + std::to_string(n)).c_str());
    if (channels[n]->kind == TChanel::kSerial) {
      const auto& c = static_cast<const TComChanel&>(*channels[n]);
      Set(ch, "TYPE", "COM");
      Set(ch, "USE", c.USE);
      Set(ch, "VPORT", c.VPORT);
      Set(ch, "DPORT", c.DPORT);
      Set(ch, "PlcType", c.PlcType);
      Set(ch, "TransMode", c.TransMode);
      Set(ch, "BaudRate", c.BaudRate);
      Set(ch, "ByteSize", c.ByteSize);
      Set(ch, "Parity", c.Parity);
      Set(ch, "StopBits", c.StopBits);
      Set(ch, "Other", c.Other);
    } else {
      const auto& c = static_cast<const TNetChanel&>(*channels[n]);
      Set(ch, "TYPE", "NET");
      Set(ch, "USE", c.USE);
      Set(ch, "NETNAME", c.NETNAME);
      SetIp(ch, "IP", c.IP);
      SetIp(ch, "NETMASK", c.NETMASK);
      SetIp(ch, "IPMIN", c.IPMIN);
      SetIp(ch, "IPMAX", c.IPMAX);
      pugi::xml_node netdev = ch.append_child("NETDEV");
      Set(netdev, "COUNT", static_cast<std::int32_t>(c.devices.size()));
      Set(netdev, "USE", c.selectedDevice);
      for (std::size_t k = 0; k < c.devices.size(); ++k) {
        pugi::xml_node item = netdev.append_child(("ITEM" + std::to_string(k)).c_str());
        Set(item, "NAME", c.devices[k]->name);
        Set(item, "DESP", c.devices[k]->description);
        SetIp(item, "IP", c.devices[k]->IP);
      }
    }
  }

  pugi::xml_node trans = element.append_child("TRANS");
  Set(trans, "COUNT", static_cast<std::int32_t>(relays.size()));
  Set(trans, "USE", selectedRelayId);
  for (std::size_t k = 0; k < relays.size(); ++k) {
    const TransServerItem& r = relays[k];
    Set(trans, ("ID" + std::to_string(k)).c_str(),
        std::to_string(r.id) + "," + r.title + "," + r.note + "," + r.address);
  }
}

}  // namespace murvik
