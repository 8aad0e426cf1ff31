from models_child_process import run_cases


def test_random_input_to_every_method_in_a_child_process():
    run_cases("cases_xgb2_fuzz.py")
