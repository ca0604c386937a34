// The published result-line schema, applied to lines: a checker of the JSON
// Schema keywords that docs/result-line.schema.json uses. A keyword it does
// not know fails loudly, so a constraint added to the schema is never
// silently skipped.
#pragma once

#include <nlohmann/json.hpp>

#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>

namespace anchorfs::test {

class result_schema {
public:
    result_schema()
    {
        std::ifstream file(ANCHORFS_RESULT_SCHEMA);
        if (!file)
            throw std::runtime_error("cannot read " ANCHORFS_RESULT_SCHEMA);
        schema_ = nlohmann::json::parse(file);
    }

    // True when `line` (without its line end) is one JSON value that the schema accepts.
    bool accepts(const std::string& line) const
    {
        nlohmann::json value = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
        return !value.is_discarded() && line.find('\n') == std::string::npos && check(schema_, value);
    }

private:
    nlohmann::json schema_;

    bool check(const nlohmann::json& schema, const nlohmann::json& value) const
    {
        if (schema.is_boolean())
            return schema.get<bool>();
        for (const auto& [key, rule] : schema.items()) {
            if (!keyword(schema, key, rule, value))
                return false;
        }
        return true;
    }

    bool keyword(const nlohmann::json& schema, const std::string& key, const nlohmann::json& rule,
                 const nlohmann::json& value) const
    {
        if (key == "$schema" || key == "$id" || key == "title" || key == "description" || key == "$defs"
            || key == "then" || key == "else")
            return true;
        if (key == "$ref") {
            const std::string prefix = "#/$defs/";
            const std::string ref = rule.get<std::string>();
            if (ref.rfind(prefix, 0) != 0)
                throw std::runtime_error("unsupported $ref " + ref);
            return check(schema_.at("$defs").at(ref.substr(prefix.size())), value);
        }
        if (key == "type")
            return has_type(rule.get<std::string>(), value);
        if (key == "const")
            return value == rule;
        if (key == "enum") {
            for (const auto& option : rule) {
                if (value == option)
                    return true;
            }
            return false;
        }
        if (key == "properties" || key == "required" || key == "additionalProperties")
            return !value.is_object() || object_rule(schema, key, rule, value);
        if (key == "pattern")
            return !value.is_string() || std::regex_search(value.get<std::string>(), std::regex(rule.get<std::string>()));
        if (key == "minLength")
            return !value.is_string() || value.get<std::string>().size() >= rule.get<std::size_t>();
        if (key == "maxLength")
            return !value.is_string() || value.get<std::string>().size() <= rule.get<std::size_t>();
        if (key == "minimum")
            return !value.is_number() || value.get<double>() >= rule.get<double>();
        if (key == "maximum")
            return !value.is_number() || value.get<double>() <= rule.get<double>();
        if (key == "not")
            return !check(rule, value);
        if (key == "allOf" || key == "oneOf") {
            int passed = 0;
            for (const auto& sub : rule)
                passed += check(sub, value) ? 1 : 0;
            return key == "allOf" ? passed == static_cast<int>(rule.size()) : passed == 1;
        }
        if (key == "if") {
            if (check(rule, value))
                return !schema.contains("then") || check(schema.at("then"), value);
            return !schema.contains("else") || check(schema.at("else"), value);
        }
        throw std::runtime_error("schema keyword not checked: " + key);
    }

    static bool has_type(const std::string& type, const nlohmann::json& value)
    {
        if (type == "object")
            return value.is_object();
        if (type == "string")
            return value.is_string();
        if (type == "integer")
            return value.is_number_integer();
        if (type == "boolean")
            return value.is_boolean();
        throw std::runtime_error("schema type not checked: " + type);
    }

    bool object_rule(const nlohmann::json& schema, const std::string& key, const nlohmann::json& rule,
                     const nlohmann::json& value) const
    {
        if (key == "properties") {
            for (const auto& [name, sub] : rule.items()) {
                if (value.contains(name) && !check(sub, value.at(name)))
                    return false;
            }
            return true;
        }
        if (key == "required") {
            for (const auto& name : rule) {
                if (!value.contains(name.get<std::string>()))
                    return false;
            }
            return true;
        }
        const nlohmann::json& known = schema.contains("properties") ? schema.at("properties") : nlohmann::json::object();
        for (const auto& [name, member] : value.items()) {
            if (!known.contains(name) && !check(rule, member))
                return false;
        }
        return true;
    }
};

} // namespace anchorfs::test
