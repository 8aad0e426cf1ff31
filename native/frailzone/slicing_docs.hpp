// Docstring pieces shared by the slicing strategies (string literals, so they concatenate).
#pragma once

#define FRAILZONE_SLICING_COMMON_PARAMS                                \
    "Parameters\n"                                                     \
    "----------\n"                                                     \
    "estimator : object, default=None\n"                               \
    "    The model under diagnosis.\n"                                 \
    "slice_features : list of str, default=None\n"                     \
    "    The one or two feature names to slice on.\n"                  \
    "task_type : {\"regression\", \"classification\"}, default=None\n" \
    "    The task type of the model.\n"                                \
    "threshold : float, default=1.2\n"                                 \
    "    Factor that turns the overall score into the weak-region limit.\n"

#define FRAILZONE_SLICING_METRIC_PARAM \
    "metric : dict, default=None\n"    \
    "    The scoring configuration, e.g. {\"name\": \"MSE\"}; None means MSE.\n"
