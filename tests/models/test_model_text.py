from models_child_process import run_cases


def test_mutated_model_texts_in_a_child_process():
    run_cases("cases_model_text.py")
