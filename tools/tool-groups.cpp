// contact-engine-tool's groups and their members:
//
//   contact-engine-tool group add NAME [--ringtone PATH] [--image PATH] [--storage N]
//   contact-engine-tool group list [--storage N]
//   contact-engine-tool group show INDEX [--storage N]
//   contact-engine-tool group rename INDEX NAME [--storage N]
//   contact-engine-tool group delete INDEX [--storage N]
//   contact-engine-tool member add GROUP CONTACT... [--storage N]
//   contact-engine-tool member remove GROUP CONTACT... [--storage N]
//   contact-engine-tool member list GROUP [--storage N]
//
// --storage is the group storage: 0 phone groups (members are phone
// contacts), 1 SIM groups (members are SIM contacts).

#include <algorithm>
#include <cstdio>

#include "tool-families.h"

namespace tool {
namespace {

group_t get_group(int storage, int index)
{
    group_t group{};
    check("contact_get_group", [&](int *e) { return contact_get_group(storage, index, &group, e); });
    return group;
}

std::vector<int> group_members(int storage, int group)
{
    std::vector<int> members(CONTACT_GROUP_MEMBER_MAX);
    int count = 0;
    check("contact_get_group_members",
          [&](int *e) { return contact_get_group_members(storage, group, members.data(), &count, e); });
    members.resize(std::size_t(count > 0 ? count : 0));
    return members;
}

int contact_storage_of_group_storage(int storage)
{
    return storage == CONTACT_GROUP_STORAGE_SIM ? CONTACT_STORAGE_SIM : CONTACT_STORAGE_PHONE;
}

void print_group(const group_t &g)
{
    std::printf("group #%d (storage %d) %s, %d member%s\n", g.index, g.storage_type, g.name, g.member_count,
                g.member_count == 1 ? "" : "s");
    if (g.ringtone_path[0])
        std::printf("  ringtone: %s\n", g.ringtone_path);
    if (g.image_path[0])
        std::printf("  image:    %s\n", g.image_path);
}

Json group_json(const group_t &g)
{
    return {{"index", g.index},
            {"storage", g.storage_type},
            {"name", text_of(g.name)},
            {"ringtone", text_of(g.ringtone_path)},
            {"image", text_of(g.image_path)},
            {"member_count", g.member_count}};
}

// Each member's index and name.
Json members_json(int storage, int group)
{
    Json members = Json::array();
    for (int index : group_members(storage, group)) {
        Contact c;
        check("contact_get_contact", [&](int *e) {
            return contact_get_contact(contact_storage_of_group_storage(storage), index, &c.record, e);
        });
        members.push_back({{"index", index}, {"display_name", text_of(c.record.display_name)}});
    }
    return members;
}

void print_members(int storage, int group)
{
    for (const Json &member : members_json(storage, group))
        std::printf("  member:   #%d %s\n", member["index"].get<int>(),
                    member["display_name"].get<std::string>().c_str());
}

void show_group(int storage, int index)
{
    const group_t group = get_group(storage, index);
    if (!json_output()) {
        print_group(group);
        print_members(storage, index);
        return;
    }
    Json document = group_json(group);
    document["members"] = members_json(storage, index);
    print_json(document);
}

int add_group(int storage, const std::string &name, const std::string &ringtone, const std::string &image)
{
    group_t group{};
    copy_text(group.name, name);
    copy_text(group.ringtone_path, ringtone);
    copy_text(group.image_path, image);
    int index = 0;
    check("contact_add_group", [&](int *e) { return contact_add_group(storage, &group, &index, e); });
    return index;
}

void list_groups(int storage)
{
    std::vector<group_t> groups(CONTACT_GROUP_CAPACITY_MAX);
    int count = 0;
    check("contact_search_groups", [&](int *e) {
        return contact_search_groups(storage, "", CONTACT_GROUP_MATCH_CONTAINS, 0, groups.data(), &count, e,
                                     CONTACT_GROUP_ORDER_INDEX);
    });
    if (!json_output()) {
        for (int i = 0; i < count; ++i)
            print_group(groups[std::size_t(i)]);
        return;
    }
    Json listed = Json::array();
    for (int i = 0; i < count; ++i)
        listed.push_back(group_json(groups[std::size_t(i)]));
    print_json({{"storage", storage}, {"groups", listed}});
}

void rename_group(int storage, int index, const std::string &name)
{
    group_t group = get_group(storage, index);
    copy_text(group.name, name);
    check("contact_update_group", [&](int *e) { return contact_update_group(storage, index, &group, e); });
}

void change_members(bool add, int storage, int group, const std::vector<int> &contacts)
{
    if (contacts.size() == 1 && add)
        check("contact_add_group_member",
              [&](int *e) { return contact_add_group_member(storage, group, contacts[0], e); });
    else if (contacts.size() == 1)
        check("contact_delete_group_member",
              [&](int *e) { return contact_delete_group_member(storage, group, contacts[0], e); });
    else if (add)
        check("contact_add_some_group_members", [&](int *e) {
            return contact_add_some_group_members(storage, group, contacts.data(), int(contacts.size()), e);
        });
    else
        check("contact_delete_some_group_members", [&](int *e) {
            return contact_delete_some_group_members(storage, group, contacts.data(), int(contacts.size()), e);
        });
}

struct GroupCommands {
    int storage = CONTACT_GROUP_STORAGE_PHONE;
    int index = 0;
    std::string name, ringtone, image;
    std::vector<int> contacts;
    CLI::App *group_add, *group_list, *group_show, *group_rename, *group_delete;
    CLI::App *member_add, *member_remove, *member_list;

    void add_to(CLI::App &app)
    {
        auto *group = app.add_subcommand("group", "groups: add, list, show, rename, delete");
        auto *member = app.add_subcommand("member", "group members: add, remove, list");
        group->require_subcommand(1);
        member->require_subcommand(1);
        group_add = group->add_subcommand("add", "add a group and print its index");
        group_list = group->add_subcommand("list", "list the groups of a storage");
        group_show = group->add_subcommand("show", "show one group and its members");
        group_rename = group->add_subcommand("rename", "give a group another name");
        group_delete = group->add_subcommand("delete", "delete a group (its contacts stay)");
        member_add = member->add_subcommand("add", "add contacts to a group");
        member_remove = member->add_subcommand("remove", "remove contacts from a group");
        member_list = member->add_subcommand("list", "list a group's members");
        for (auto *cmd : {group_add, group_list, group_show, group_rename, group_delete, member_add, member_remove,
                          member_list})
            cmd->add_option("--storage", storage, "group storage (0 phone, 1 SIM)");
        for (auto *cmd : {group_show, group_rename, group_delete})
            cmd->add_option("index", index, "group index")->required();
        for (auto *cmd : {member_add, member_remove, member_list})
            cmd->add_option("group", index, "group index")->required();
        for (auto *cmd : {member_add, member_remove})
            cmd->add_option("contacts", contacts, "contact indices")->required();
        group_add->add_option("name", name, "group name")->required();
        group_add->add_option("--ringtone", ringtone, "ringtone path");
        group_add->add_option("--image", image, "image path");
        group_rename->add_option("name", name, "new name")->required();
        for (auto *cmd : {group_list, group_show, member_list})
            add_json_flag(cmd);
    }

    int run()
    {
        if (group_add->parsed())
            std::printf("%d\n", add_group(storage, name, ringtone, image));
        else if (group_list->parsed())
            list_groups(storage);
        else if (group_show->parsed())
            show_group(storage, index);
        else if (group_rename->parsed())
            rename_group(storage, index, name);
        else if (group_delete->parsed())
            check("contact_delete_group", [&](int *e) { return contact_delete_group(storage, index, e); });
        else if (member_add->parsed() || member_remove->parsed())
            change_members(member_add->parsed(), storage, index, contacts);
        else if (json_output())
            print_json({{"storage", storage}, {"group", index}, {"members", group_members(storage, index)}});
        else
            for (int member : group_members(storage, index))
                std::printf("%d\n", member);
        return 0;
    }
} commands;

} // namespace

extern const ToolFamily kGroupCommands{
    [](CLI::App &app) { commands.add_to(app); }, [] { return commands.run(); }, true};

// The demo's part: a group of the first phone contacts, shown, then removed.
void group_demo()
{
    std::printf("\n== a group\n");
    std::vector<int> contacts = indices(CONTACT_STORAGE_PHONE);
    contacts.resize(std::min<std::size_t>(contacts.size(), 3));
    const int group = add_group(CONTACT_GROUP_STORAGE_PHONE, "Équipe de nuit", "/usr/share/sounds/night.ogg", "");
    if (!contacts.empty())
        change_members(true, CONTACT_GROUP_STORAGE_PHONE, group, contacts);
    print_group(get_group(CONTACT_GROUP_STORAGE_PHONE, group));
    print_members(CONTACT_GROUP_STORAGE_PHONE, group);
    bool same = false;
    check("contact_exist_same_group_name", [&](int *e) {
        return contact_exist_same_group_name(CONTACT_GROUP_STORAGE_PHONE, "ÉQUIPE DE NUIT", &same, e);
    });
    std::printf("  \"ÉQUIPE DE NUIT\" is %s\n", same ? "the same name" : "another name");
    check("contact_delete_group",
          [&](int *e) { return contact_delete_group(CONTACT_GROUP_STORAGE_PHONE, group, e); });
    std::printf("  group deleted; its memberships went with it\n");
}

} // namespace tool
