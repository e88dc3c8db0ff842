// Descriptor texts in the repository's one-element-per-line layout, for the
// metadata tests.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace xelotest {

inline std::string scalarProperty(const std::string& name, const std::string& value) {
  return "  <PROPERTY NAME=\"" + name + "\" TYPE=\"string\">\n    <VALUE>" + value + "</VALUE>\n  </PROPERTY>\n";
}

inline std::string arrayProperty(const std::string& name, const std::vector<std::string>& values) {
  std::string text = "  <PROPERTY.ARRAY NAME=\"" + name + "\" TYPE=\"string\">\n    <VALUE.ARRAY>\n";
  for (const auto& v : values) text += "      <VALUE>" + v + "</VALUE>\n";
  return text + "    </VALUE.ARRAY>\n  </PROPERTY.ARRAY>\n";
}

inline std::string cimDocument(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">\n"
         " <INSTANCE CLASSNAME=\"Update\">\n" +
         body + " </INSTANCE>\n</CIM>\n";
}

// A complete update descriptor. Empty file names leave the property out.
struct UpdateDescriptor {
  UpdateDescriptor(std::string xmlFilename, std::string id, std::vector<std::string> machineTypes,
                   std::vector<std::string> operatingSystems, std::string payload, std::string readme = "",
                   std::string history = "", std::vector<std::string> preReqs = {})
      : xmlFilename(std::move(xmlFilename)),
        id(std::move(id)),
        machineTypes(std::move(machineTypes)),
        operatingSystems(std::move(operatingSystems)),
        payload(std::move(payload)),
        readme(std::move(readme)),
        history(std::move(history)),
        preReqs(std::move(preReqs)) {}

  std::string xmlFilename;
  std::string id;
  std::vector<std::string> machineTypes;      // element texts, e.g. "Model 100 [7101]"
  std::vector<std::string> operatingSystems;  // element texts
  std::string payload;
  std::string readme;
  std::string history;
  std::vector<std::string> preReqs;

  std::string text() const {
    std::string body = scalarProperty("xmlFilename", xmlFilename) + scalarProperty("identificationCode", id);
    if (!machineTypes.empty()) body += arrayProperty("applicableMachineTypes", machineTypes);
    if (!operatingSystems.empty()) body += arrayProperty("applicableOperatingSystems", operatingSystems);
    if (!readme.empty()) body += scalarProperty("readme", readme);
    if (!payload.empty()) body += scalarProperty("payload", payload);
    if (!history.empty()) body += scalarProperty("revisionHistoryFile", history);
    if (!preReqs.empty()) body += arrayProperty("preReq", preReqs);
    return cimDocument(body);
  }
};

}  // namespace xelotest
