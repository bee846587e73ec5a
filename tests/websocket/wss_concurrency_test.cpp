int dummy_concurrency;
