#include "sc_ops_inst.h"

#include "sc_debug.h"

// Instances are not served yet: every operation reports that and fails.
namespace {

int not_served(const char *op) {
    SC_FAIL("%s: instance operations are not available!!\n", op);
    return -1;
}

} // namespace

int config_sc_me_add_inst(const char *, const char *, u_16 *) { return not_served("config_sc_me_add_inst"); }
int config_sc_del_Inst(const char *) { return not_served("config_sc_del_Inst"); }
int config_sc_query_sys_inst_number_by_me(const char *, u_16 *) {
    return not_served("config_sc_query_sys_inst_number_by_me");
}
int config_sc_query_inst_name(const char *, u_16, char **) { return not_served("config_sc_query_inst_name"); }
int config_sc_query_last_name(const char *, char **) { return not_served("config_sc_query_last_name"); }
int config_sc_query_inst_number(const char *, u_16 *) { return not_served("config_sc_query_inst_number"); }
int config_sc_get_instance_fields(const char *, const char *, char **) {
    return not_served("config_sc_get_instance_fields");
}
int config_sc_add_instance_fields(const char *, const char *, const char *, char **) {
    return not_served("config_sc_add_instance_fields");
}
int config_sc_set_instance_fields(const char *, const char *, const char *) {
    return not_served("config_sc_set_instance_fields");
}
